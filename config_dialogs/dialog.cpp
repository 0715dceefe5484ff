#include "config_dialogs/dialog.h"

#include <cstdio>

#include "config_dialogs/helpfile.h"
#include "config_dialogs/resources.h"

namespace qdui {

int CompareNoCase(const std::string& a, const std::string& b) {
  const size_t n = a.size() < b.size() ? a.size() : b.size();
  for (size_t i = 0; i < n; ++i) {
    unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
    if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y - 'A' + 'a');
    if (x != y) return x < y ? -1 : 1;
  }
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
}

// ---------------------------------------------------------------- exchange

void DataExchange::Fail(int id, const std::string& prompt) {
  failed_ = true;
  if (dialog_.Messages() != nullptr) dialog_.Messages()->ShowMessage(prompt);
  dialog_.SetFocus(id);
}

void DataExchange::Text(int id, unsigned& value) {
  if (failed_) return;
  Control* c = dialog_.Find(id);
  if (c == nullptr) return;
  if (!save_) {
    c->text = std::to_string(value);
    return;
  }
  const std::string& s = c->text;
  size_t i = 0;
  while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
  uint64_t n = 0;
  size_t digits = 0;
  for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i, ++digits) {
    n = n * 10 + static_cast<unsigned>(s[i] - '0');
    if (n > 0xFFFFFFFFull) break;
  }
  while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
  if (digits == 0 || i != s.size() || n > 0xFFFFFFFFull) {
    Fail(id, "Please enter a positive integer.");
    return;
  }
  value = static_cast<unsigned>(n);
}

void DataExchange::MinMax(int id, unsigned value, unsigned minimum, unsigned maximum) {
  if (failed_ || !save_) return;
  if (value < minimum || value > maximum) {
    char prompt[80];
    std::snprintf(prompt, sizeof prompt, "Please enter an integer between %u and %u.", minimum, maximum);
    Fail(id, prompt);
  }
}

// ---------------------------------------------------------------- dialog

Dialog::Dialog(int templateId, MessageSink* messages, HelpSink* help)
    : templateId_(templateId), messages_(messages), help_(help) {
  const DialogTemplate* t = FindTemplate(templateId);
  if (t == nullptr) return;
  title_ = t->title;
  width_ = t->width;
  height_ = t->height;
  for (const Control& c : t->controls) {
    Control copy = c;
    copy.items.clear();
    controls_.push_back(copy);
    for (const std::string& item : c.items) AddString(c.id, item);
  }
}

Control* Dialog::Find(int id) {
  if (id < 0) return nullptr;
  for (Control& c : controls_)
    if (c.id == id) return &c;
  return nullptr;
}

const Control* Dialog::Find(int id) const { return const_cast<Dialog*>(this)->Find(id); }

void Dialog::Start() {
  if (started_) return;
  started_ = true;
  OnInitDialog();
}

void Dialog::EndDialog(int result) {
  ended_ = true;
  result_ = result;
}

void Dialog::OnOK() {
  if (!UpdateData(true)) return;
  EndDialog(IDOK);
}

void Dialog::Command(int id, int notification) {
  if (!IsOpen()) return;
  if (id == IDOK && notification == kNotifyClicked) {
    OnOK();
  } else if (id == IDCANCEL && notification == kNotifyClicked) {
    OnCancel();
  } else {
    OnNotify(id, notification);
  }
}

void Dialog::Help() {
  const std::string topic = HelpTopic();
  if (help_ == nullptr || topic.empty()) return;
  help_->ShowHelp(QdSetup_HelpFilePath(), topic);
}

void Dialog::UserType(int id, const std::string& text) {
  Control* c = Find(id);
  if (c == nullptr || !c->enabled) return;
  c->text = text;
  if (c->kind != ControlKind::kCombo) return;
  // The typed text selects the item it names, or none; a change of the
  // selection is notified as if it were picked.
  const int before = c->selection;
  c->selection = FindStringExact(id, text);
  if (c->selection != before) Command(id, kNotifySelChange);
}

void Dialog::UserSelect(int id, int index) {
  Control* c = Find(id);
  if (c == nullptr || c->kind != ControlKind::kCombo || !c->enabled) return;
  SetCurSel(id, index);
  Command(id, kNotifySelChange);
}

bool Dialog::UpdateData(bool save) {
  DataExchange dx(*this, save);
  DoDataExchange(dx);
  return !dx.Failed();
}

int Dialog::AddString(int id, const std::string& text) {
  Control* c = Find(id);
  if (c == nullptr || c->kind != ControlKind::kCombo) return -1;
  size_t at = c->items.size();
  if (c->sorted) {
    at = 0;
    while (at < c->items.size() && CompareNoCase(c->items[at], text) <= 0) ++at;
  }
  c->items.insert(c->items.begin() + static_cast<std::ptrdiff_t>(at), text);
  if (c->selection >= static_cast<int>(at)) ++c->selection;
  return static_cast<int>(at);
}

void Dialog::ResetContent(int id) {
  Control* c = Find(id);
  if (c == nullptr || c->kind != ControlKind::kCombo) return;
  c->items.clear();
  c->selection = -1;
  c->text.clear();
}

int Dialog::FindStringExact(int id, const std::string& text) const {
  const Control* c = Find(id);
  if (c == nullptr) return -1;
  for (size_t i = 0; i < c->items.size(); ++i)
    if (CompareNoCase(c->items[i], text) == 0) return static_cast<int>(i);
  return -1;
}

int Dialog::GetCurSel(int id) const {
  const Control* c = Find(id);
  return c == nullptr ? -1 : c->selection;
}

void Dialog::SetCurSel(int id, int index) {
  Control* c = Find(id);
  if (c == nullptr || c->kind != ControlKind::kCombo) return;
  if (index < 0 || index >= static_cast<int>(c->items.size())) {
    c->selection = -1;
    return;
  }
  c->selection = index;
  c->text = c->items[static_cast<size_t>(index)];
}

std::string Dialog::GetItemText(int id, int index) const {
  const Control* c = Find(id);
  if (c == nullptr || index < 0 || index >= static_cast<int>(c->items.size())) return {};
  return c->items[static_cast<size_t>(index)];
}

void Dialog::EnableControl(int id, bool on) {
  if (Control* c = Find(id)) c->enabled = on;
}

}  // namespace qdui
