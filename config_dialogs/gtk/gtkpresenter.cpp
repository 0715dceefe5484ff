#include "config_dialogs/gtk/gtkpresenter.h"

#include <gtk/gtk.h>
#include <sys/stat.h>

#include <cstdlib>
#include <map>
#include <memory>
#include <sstream>
#include <vector>

#include "config_dialogs/helpfile.h"
#include "platform/debugout.h"
#include "platform/error.h"

namespace qdgtk {

namespace {

constexpr const char* kScriptVariable = "CDX_DIALOG_SCRIPT";

void Trace(const std::string& line) { plat::OutputDebugText(("qd_setup: " + line + "\n").c_str()); }

bool Set(const char* name) {
  const char* v = std::getenv(name);
  return v != nullptr && *v != 0;
}

// True when GTK can show windows; else false with the reason.
bool DisplayReady(std::string* reason) {
  if (!Set("DISPLAY") && !Set("WAYLAND_DISPLAY")) {
    *reason = "there is no display (neither DISPLAY nor WAYLAND_DISPLAY is set)";
    return false;
  }
  // The library runs in the host's process: GTK must not switch the
  // process's locale (number formats of everything else in it) when it is
  // this library that starts GTK.
  static bool localeKept = false;
  if (!localeKept && gdk_display_get_default() == nullptr) gtk_disable_setlocale();
  localeKept = true;
  if (!gtk_init_check(nullptr, nullptr)) {
    const char* x = std::getenv("DISPLAY");
    const char* w = std::getenv("WAYLAND_DISPLAY");
    *reason = std::string("the display \"") + (x != nullptr && *x ? x : w) + "\" cannot be opened";
    return false;
  }
  return true;
}

struct Step {
  std::string verb;
  int id = -1;
  std::string arg;
  std::string text;  // the step as written
};

std::vector<Step> ParseScript(const std::string& script) {
  std::vector<Step> steps;
  std::stringstream all(script);
  std::string item;
  while (std::getline(all, item, ';')) {
    std::stringstream in(item);
    Step s;
    if (!(in >> s.verb)) continue;
    const size_t start = item.find_first_not_of(" \t");
    const size_t end = item.find_last_not_of(" \t");
    s.text = item.substr(start, end - start + 1);
    if (s.verb == "text" || s.verb == "select" || s.verb == "press") {
      in >> s.id;
      std::getline(in >> std::ws, s.arg);
    }
    steps.push_back(s);
  }
  return steps;
}

}  // namespace

struct Binding {
  GtkPresenter::Run* run;
  int id;
  std::vector<std::string> shownItems;  // a combo box's items as the widget holds them
};

struct GtkPresenter::Run {
  qdui::Dialog* dialog = nullptr;
  GtkWidget* window = nullptr;
  std::map<int, GtkWidget*> widgets;  // edits and combo boxes by id
  std::map<int, GtkWidget*> labels;   // statics with an id
  std::map<int, Binding*> bindings;
  std::vector<std::unique_ptr<Binding>> owned;
  bool syncing = false;
  GtkWidget* messageBox = nullptr;
  // A scripted run.
  bool scripted = false;
  std::vector<Step> steps;
  size_t next = 0;
  guint source = 0;
};

namespace {

using Run = GtkPresenter::Run;

GtkWidget* ComboEntry(GtkWidget* combo) { return gtk_bin_get_child(GTK_BIN(combo)); }

// The widgets from the model. except: a combo box the user is typing in,
// whose text and selection are left as the user has them.
void SyncOut(Run* run, int except = -1) {
  run->syncing = true;
  for (qdui::Control& c : run->dialog->Controls()) {
    auto label = run->labels.find(c.id);
    if (label != run->labels.end()) gtk_widget_set_sensitive(label->second, c.enabled);
    auto it = run->widgets.find(c.id);
    if (it == run->widgets.end()) continue;
    GtkWidget* w = it->second;
    gtk_widget_set_sensitive(w, c.enabled);
    if (c.kind == qdui::ControlKind::kEdit) {
      if (c.text != gtk_entry_get_text(GTK_ENTRY(w))) gtk_entry_set_text(GTK_ENTRY(w), c.text.c_str());
    } else if (c.kind == qdui::ControlKind::kCombo && c.id != except) {
      Binding* b = run->bindings[c.id];
      if (b->shownItems != c.items) {
        gtk_combo_box_text_remove_all(GTK_COMBO_BOX_TEXT(w));
        for (const std::string& item : c.items) gtk_combo_box_text_append_text(GTK_COMBO_BOX_TEXT(w), item.c_str());
        b->shownItems = c.items;
      }
      if (gtk_combo_box_get_active(GTK_COMBO_BOX(w)) != c.selection) gtk_combo_box_set_active(GTK_COMBO_BOX(w), c.selection);
      GtkEntry* entry = GTK_ENTRY(ComboEntry(w));
      if (c.text != gtk_entry_get_text(entry)) gtk_entry_set_text(entry, c.text.c_str());
    }
  }
  run->syncing = false;
}

void OnEntryChanged(GtkEditable* editable, gpointer data) {
  Binding* b = static_cast<Binding*>(data);
  if (b->run->syncing) return;
  b->run->dialog->UserType(b->id, gtk_entry_get_text(GTK_ENTRY(editable)));
}

void OnComboChanged(GtkComboBox* combo, gpointer data) {
  Binding* b = static_cast<Binding*>(data);
  Run* run = b->run;
  if (run->syncing) return;
  const int active = gtk_combo_box_get_active(combo);
  if (active >= 0) {
    run->dialog->UserSelect(b->id, active);
    SyncOut(run);
  } else {
    run->dialog->UserType(b->id, gtk_entry_get_text(GTK_ENTRY(ComboEntry(GTK_WIDGET(combo)))));
    SyncOut(run, b->id);
  }
}

gboolean OnKey(GtkWidget*, GdkEventKey* event, gpointer data) {
  if (event->keyval != GDK_KEY_F1) return FALSE;
  static_cast<Run*>(data)->dialog->Help();
  return TRUE;
}

Binding* Bind(Run* run, int id) {
  run->owned.push_back(std::make_unique<Binding>(Binding{run, id, {}}));
  run->bindings[id] = run->owned.back().get();
  return run->owned.back().get();
}

void Build(Run* run, void* parent) {
  qdui::Dialog& d = *run->dialog;
  GtkWidget* window = gtk_dialog_new();
  run->window = window;
  gtk_window_set_title(GTK_WINDOW(window), d.Title().c_str());
  gtk_window_set_modal(GTK_WINDOW(window), TRUE);
  gtk_window_set_resizable(GTK_WINDOW(window), FALSE);
  // Dialog units of an 8-point font: about 1.5 pixels across, 1.6 down.
  gtk_window_set_default_size(GTK_WINDOW(window), d.Width() * 3 / 2, d.Height() * 13 / 8);
  if (parent != nullptr && GTK_IS_WINDOW(parent)) gtk_window_set_transient_for(GTK_WINDOW(window), GTK_WINDOW(parent));

  GtkWidget* frame = gtk_frame_new(nullptr);
  gtk_container_set_border_width(GTK_CONTAINER(frame), 8);
  GtkWidget* grid = gtk_grid_new();
  gtk_grid_set_row_spacing(GTK_GRID(grid), 6);
  gtk_grid_set_column_spacing(GTK_GRID(grid), 8);
  gtk_container_set_border_width(GTK_CONTAINER(grid), 8);
  gtk_container_add(GTK_CONTAINER(frame), grid);
  gtk_box_pack_start(GTK_BOX(gtk_dialog_get_content_area(GTK_DIALOG(window))), frame, TRUE, TRUE, 0);

  int row = 0;
  for (const qdui::Control& c : d.Controls()) {
    switch (c.kind) {
      case qdui::ControlKind::kGroup:
        break;  // the frame
      case qdui::ControlKind::kStatic: {
        GtkWidget* label = gtk_label_new(c.text.c_str());
        gtk_widget_set_halign(label, GTK_ALIGN_START);
        gtk_grid_attach(GTK_GRID(grid), label, 0, row, 1, 1);
        if (c.id >= 0) run->labels[c.id] = label;
        break;
      }
      case qdui::ControlKind::kEdit: {
        GtkWidget* entry = gtk_entry_new();
        gtk_entry_set_activates_default(GTK_ENTRY(entry), TRUE);
        gtk_grid_attach(GTK_GRID(grid), entry, 1, row++, 1, 1);
        run->widgets[c.id] = entry;
        g_signal_connect(entry, "changed", G_CALLBACK(OnEntryChanged), Bind(run, c.id));
        break;
      }
      case qdui::ControlKind::kCombo: {
        GtkWidget* combo = gtk_combo_box_text_new_with_entry();
        gtk_entry_set_activates_default(GTK_ENTRY(ComboEntry(combo)), TRUE);
        gtk_grid_attach(GTK_GRID(grid), combo, 1, row++, 1, 1);
        run->widgets[c.id] = combo;
        g_signal_connect(combo, "changed", G_CALLBACK(OnComboChanged), Bind(run, c.id));
        break;
      }
      case qdui::ControlKind::kButton:
        gtk_dialog_add_button(GTK_DIALOG(window), c.text.c_str(),
                              c.id == qdui::IDOK ? GTK_RESPONSE_OK : GTK_RESPONSE_CANCEL);
        break;
    }
  }
  gtk_dialog_set_default_response(GTK_DIALOG(window), GTK_RESPONSE_OK);
  g_signal_connect(window, "key-press-event", G_CALLBACK(OnKey), run);
}

// ---------------------------------------------------------------- script

void PerformStep(Run* run, const Step& s) {
  Trace("step " + std::to_string(run->next) + ": " + s.text);
  if (s.verb == "text" || s.verb == "select") {
    auto it = run->widgets.find(s.id);
    if (it == run->widgets.end()) {
      Trace("no edit or combo box " + std::to_string(s.id));
      return;
    }
    GtkWidget* w = it->second;
    if (s.verb == "select") {
      const int index = run->dialog->FindStringExact(s.id, s.arg);
      if (index < 0) Trace("no item \"" + s.arg + "\"");
      else gtk_combo_box_set_active(GTK_COMBO_BOX(w), index);
    } else if (GTK_IS_COMBO_BOX(w)) {
      gtk_entry_set_text(GTK_ENTRY(ComboEntry(w)), s.arg.c_str());
    } else {
      gtk_entry_set_text(GTK_ENTRY(w), s.arg.c_str());
    }
  } else if (s.verb == "press") {
    gtk_dialog_response(GTK_DIALOG(run->window), s.id == qdui::IDOK ? GTK_RESPONSE_OK : GTK_RESPONSE_CANCEL);
  } else if (s.verb == "answer") {
    if (run->messageBox != nullptr) gtk_dialog_response(GTK_DIALOG(run->messageBox), GTK_RESPONSE_OK);
    else Trace("no message box is open");
  } else if (s.verb == "help") {
    run->dialog->Help();
  } else {
    Trace("unknown step");
  }
}

// One step per main-loop turn. The next step is queued before this one
// acts, so that a step which opens a message box (and waits in its loop)
// is followed by the next step inside that loop. After the last step: a
// message box still open is closed, then a dialog still open is cancelled.
gboolean OnStep(gpointer data) {
  Run* run = static_cast<Run*>(data);
  run->source = 0;
  if (run->next < run->steps.size()) {
    const Step s = run->steps[run->next++];
    run->source = g_idle_add(OnStep, run);
    PerformStep(run, s);
  } else if (run->messageBox != nullptr) {
    Trace("the script has ended: the message box is closed");
    run->source = g_idle_add(OnStep, run);
    gtk_dialog_response(GTK_DIALOG(run->messageBox), GTK_RESPONSE_OK);
  } else if (run->dialog->IsOpen()) {
    Trace("the script has ended with the dialog open: it is cancelled");
    gtk_dialog_response(GTK_DIALOG(run->window), GTK_RESPONSE_CANCEL);
  }
  return G_SOURCE_REMOVE;
}

void OnMapped(GtkWidget*, gpointer data) {
  Run* run = static_cast<Run*>(data);
  if (run->source != 0 || run->next > 0) return;
  Trace("shown: " + std::to_string(run->dialog->TemplateId()) + " \"" + run->dialog->Title() + "\"");
  run->source = g_idle_add(OnStep, run);
}

}  // namespace

GtkPresenter::GtkPresenter() = default;
GtkPresenter::~GtkPresenter() = default;

int GtkPresenter::RunModal(qdui::Dialog& dialog, void* parent) {
  std::string reason;
  if (!DisplayReady(&reason)) {
    Trace("cannot show the dialog \"" + dialog.Title() + "\": " + reason);
    plat::Fail(kErrNoDesktop);
    return -1;
  }
  Run run;
  run.dialog = &dialog;
  Build(&run, parent);
  dialog.Start();
  SyncOut(&run);
  const char* script = std::getenv(kScriptVariable);
  if (script != nullptr && *script != 0) {
    run.scripted = true;
    run.steps = ParseScript(script);
    g_signal_connect(run.window, "map", G_CALLBACK(OnMapped), &run);
  }
  run_ = &run;
  gtk_widget_show_all(run.window);
  while (dialog.IsOpen()) {
    const int response = gtk_dialog_run(GTK_DIALOG(run.window));
    if (response == GTK_RESPONSE_OK) dialog.Command(qdui::IDOK);
    else dialog.Command(qdui::IDCANCEL);  // Cancel, the window closed, Escape
    if (dialog.IsOpen()) {
      SyncOut(&run);
      auto it = run.widgets.find(dialog.FocusId());
      if (it != run.widgets.end()) gtk_widget_grab_focus(it->second);
    }
  }
  if (run.source != 0) g_source_remove(run.source);
  run_ = nullptr;
  if (run.scripted) Trace("ended: " + std::to_string(dialog.Result()));
  gtk_widget_destroy(run.window);
  while (gtk_events_pending()) gtk_main_iteration_do(FALSE);
  return dialog.Result();
}

void GtkPresenter::ShowMessage(const std::string& text) {
  if (run_ == nullptr) return;
  if (run_->scripted) Trace("message: " + text);
  GtkWidget* box = gtk_message_dialog_new(GTK_WINDOW(run_->window), static_cast<GtkDialogFlags>(GTK_DIALOG_MODAL | GTK_DIALOG_DESTROY_WITH_PARENT),
                                          GTK_MESSAGE_WARNING, GTK_BUTTONS_OK, "%s", text.c_str());
  gtk_window_set_title(GTK_WINDOW(box), run_->dialog->Title().c_str());
  run_->messageBox = box;
  gtk_dialog_run(GTK_DIALOG(box));
  run_->messageBox = nullptr;
  gtk_widget_destroy(box);
}

void GtkPresenter::ShowHelp(const std::string& file, const std::string& topic) {
  const bool scripted = run_ != nullptr && run_->scripted;
  struct stat st{};
  if (file.empty() || ::stat(file.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
    if (scripted) Trace("help: no help file " + QdSetup_HelpTopicUrl(file, topic));
    return;
  }
  if (scripted) Trace("help: " + QdSetup_HelpTopicUrl(file, topic));
  gchar* uri = g_filename_to_uri(file.c_str(), nullptr, nullptr);
  if (uri == nullptr) return;
  GError* error = nullptr;
  GtkWindow* window = run_ != nullptr ? GTK_WINDOW(run_->window) : nullptr;
  if (!gtk_show_uri_on_window(window, uri, GDK_CURRENT_TIME, &error)) {
    Trace(std::string("help: the help file cannot be opened: ") + (error != nullptr ? error->message : "?"));
    if (error != nullptr) g_error_free(error);
  }
  g_free(uri);
}

// ---------------------------------------------------------------- question

namespace {

struct Question {
  GtkWidget* box = nullptr;
  std::vector<Step> steps;
  size_t next = 0;
  guint source = 0;
};

// One scripted answer per main-loop turn once the box is shown; when the
// steps run out with the box still open, it is closed without an answer.
gboolean OnQuestionStep(gpointer data) {
  auto* q = static_cast<Question*>(data);
  q->source = 0;
  if (q->next < q->steps.size()) {
    const Step& s = q->steps[q->next++];
    Trace("step " + std::to_string(q->next - 1) + ": " + s.text);
    if (s.verb == "yes" || s.verb == "no") {
      gtk_dialog_response(GTK_DIALOG(q->box), s.verb == "yes" ? GTK_RESPONSE_YES : GTK_RESPONSE_NO);
      return G_SOURCE_REMOVE;
    }
    Trace("unknown step");
    q->source = g_idle_add(OnQuestionStep, q);
  } else {
    Trace("the script has ended with the question open: it is closed");
    gtk_dialog_response(GTK_DIALOG(q->box), GTK_RESPONSE_DELETE_EVENT);
  }
  return G_SOURCE_REMOVE;
}

void OnQuestionMapped(GtkWidget*, gpointer data) {
  auto* q = static_cast<Question*>(data);
  if (q->source == 0 && q->next == 0) q->source = g_idle_add(OnQuestionStep, q);
}

}  // namespace

int AskYesNo(const char* text, const char* title) {
  const std::string question = text != nullptr ? text : "";
  std::string reason;
  if (!DisplayReady(&reason)) {
    Trace("question \"" + question + "\" not shown (" + reason + "): Yes");
    return 1;
  }
  Question q;
  q.box = gtk_message_dialog_new(nullptr, GTK_DIALOG_MODAL, GTK_MESSAGE_QUESTION, GTK_BUTTONS_YES_NO, "%s",
                                 question.c_str());
  gtk_window_set_title(GTK_WINDOW(q.box), title != nullptr ? title : "");
  const char* script = std::getenv(kScriptVariable);
  const bool scripted = script != nullptr && *script != 0;
  if (scripted) {
    q.steps = ParseScript(script);
    g_signal_connect(q.box, "map", G_CALLBACK(OnQuestionMapped), &q);
    Trace("question: " + question);
  }
  const bool yes = gtk_dialog_run(GTK_DIALOG(q.box)) == GTK_RESPONSE_YES;
  if (q.source != 0) g_source_remove(q.source);
  gtk_widget_destroy(q.box);
  while (gtk_events_pending()) gtk_main_iteration_do(FALSE);
  if (scripted) Trace(std::string("answered: ") + (yes ? "Yes" : "No"));
  return yes ? 1 : 0;
}

}  // namespace qdgtk
