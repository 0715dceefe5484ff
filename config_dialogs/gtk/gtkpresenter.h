// Showing the dialogs with GTK 3, on the host's user-interface thread.
//
// The dialog model stays the authority: the widgets show its controls, what
// the user types or picks goes into it, and after each command the widgets
// are brought up to date again. Prompts are modal message boxes; help opens
// the help file beside the library with the desktop's viewer when the file
// is there, else does nothing.
//
// With no display (neither DISPLAY nor WAYLAND_DISPLAY set, or GTK cannot
// open it) nothing is shown: RunModal writes the reason to the debugger
// output (standard error) and fails with 1459.
//
// Scripted runs. For tests of the library as a whole, the environment
// variable CDX_DIALOG_SCRIPT may hold steps, separated by ';', that are
// played against the shown dialog one at a time from the main loop, as a
// user would:
//   text <id> <text>     types the text into edit or combo box <id>
//   select <id> <item>   picks the combo box item of that text
//   press <id>           presses button 1 (OK) or 2 (Cancel)
//   answer               closes the open message box
//   help                 presses F1
// Each step and event is written to the debugger output as a line starting
// "qd_setup: ". When the steps run out with the dialog still open, it is
// cancelled; a message box that opens after the last step is not waited on.
#pragma once
#include <string>

#include "config_dialogs/presenter.h"

namespace qdgtk {

// The system error of "no interactive desktop": a dialog cannot be shown.
constexpr uint32_t kErrNoDesktop = 1459;

class GtkPresenter : public qdui::Presenter, private qdui::MessageSink, private qdui::HelpSink {
 public:
  GtkPresenter();
  ~GtkPresenter() override;
  qdui::MessageSink* Messages() override { return this; }
  qdui::HelpSink* Help() override { return this; }
  // parent: the host's GtkWindow*, or null.
  int RunModal(qdui::Dialog& dialog, void* parent) override;

  struct Run;

 private:
  void ShowMessage(const std::string& text) override;
  void ShowHelp(const std::string& file, const std::string& topic) override;
  Run* run_ = nullptr;
};

// The library's Yes/No question (the command client's question before it
// disables loggers for a reconfiguration, installed as its hook when the
// library is loaded): a modal GTK message box with Yes and No, 1 for Yes,
// 0 for No or a box closed without an answer. Without a display nothing is
// shown and the answer is Yes, as for a program without a user interface.
// Scripted runs (CDX_DIALOG_SCRIPT) answer with the steps "yes" and "no";
// the question and its answer are written to the debugger output.
int AskYesNo(const char* text, const char* title);

}  // namespace qdgtk
