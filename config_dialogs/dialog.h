// The dialog model: controls, data exchange with validation, commands.
//
// A dialog is a set of controls built from its template (resources.h) and a
// derived class that moves values between its members and the controls
// (DoDataExchange) and reacts to commands. Nothing here draws: a presenter
// (the GTK one of the library, or a test) shows the controls, writes what
// the user typed or picked into them, sends the commands (OK, Cancel, a
// selection change, help) and runs until the dialog has ended. Prompts go
// to a message sink, help requests to a help sink.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "config_dialogs/control.h"

namespace qdui {

// Receives the prompts of a dialog (validation failures).
class MessageSink {
 public:
  virtual ~MessageSink() = default;
  virtual void ShowMessage(const std::string& text) = 0;
};

// Receives help requests: the help file and its topic ("::/html/x.htm").
class HelpSink {
 public:
  virtual ~HelpSink() = default;
  virtual void ShowHelp(const std::string& file, const std::string& topic) = 0;
};

class Dialog;

// The validation state of one data exchange. Save: controls to members.
class DataExchange {
 public:
  DataExchange(Dialog& dialog, bool save) : dialog_(dialog), save_(save) {}
  bool Saving() const { return save_; }
  bool Failed() const { return failed_; }

  // An unsigned decimal number in an edit control. Saving accepts digits
  // with blanks around them; anything else (a sign, other characters, no
  // digits, a value over 4294967295) fails with "Please enter a positive
  // integer.".
  void Text(int id, unsigned& value);
  // The range check after Text: "Please enter an integer between %u and %u.".
  void MinMax(int id, unsigned value, unsigned minimum, unsigned maximum);

 private:
  void Fail(int id, const std::string& prompt);
  Dialog& dialog_;
  bool save_;
  bool failed_ = false;
};

class Dialog {
 public:
  Dialog(int templateId, MessageSink* messages, HelpSink* help);
  virtual ~Dialog() = default;
  Dialog(const Dialog&) = delete;
  Dialog& operator=(const Dialog&) = delete;

  int TemplateId() const { return templateId_; }
  const std::string& Title() const { return title_; }
  int Width() const { return width_; }    // dialog units
  int Height() const { return height_; }  // dialog units
  std::vector<Control>& Controls() { return controls_; }
  const std::vector<Control>& Controls() const { return controls_; }
  Control* Find(int id);
  const Control* Find(int id) const;

  // The life of a modal run: Start once, then commands until !IsOpen().
  // Start runs OnInitDialog. Result: IDOK or IDCANCEL once ended.
  void Start();
  bool IsOpen() const { return started_ && !ended_; }
  int Result() const { return result_; }
  // The control that validation last put the focus on (-1: none).
  int FocusId() const { return focusId_; }

  // What a presenter sends. Command: a button (IDOK, IDCANCEL) or a control
  // notification. Help: the F1 key.
  void Command(int id, int notification = kNotifyClicked);
  void Help();

  // What the user does, in model terms: type into an edit or a combo's edit
  // field (a combo then selects the item of that text, case aside, or
  // nothing, and notifies a changed selection), pick a combo item (and the
  // selection-change notification).
  void UserType(int id, const std::string& text);
  void UserSelect(int id, int index);

  // Moves data between controls and members: false when saving failed
  // validation (the prompt has been shown and the focus set).
  bool UpdateData(bool save);

  // Combo box operations (sorted combos insert in case-blind order).
  int AddString(int id, const std::string& text);
  void ResetContent(int id);
  int FindStringExact(int id, const std::string& text) const;  // case-blind; -1
  int GetCurSel(int id) const;
  void SetCurSel(int id, int index);
  std::string GetItemText(int id, int index) const;
  void EnableControl(int id, bool on);

  MessageSink* Messages() const { return messages_; }
  void SetFocus(int id) { focusId_ = id; }

 protected:
  virtual void OnInitDialog() { UpdateData(false); }
  virtual void DoDataExchange(DataExchange&) {}
  virtual void OnOK();
  virtual void OnCancel() { EndDialog(IDCANCEL); }
  virtual void OnNotify(int /*id*/, int /*notification*/) {}
  // The help topic of the dialog ("" for none).
  virtual std::string HelpTopic() const { return {}; }
  void EndDialog(int result);

 private:
  int templateId_;
  std::string title_;
  int width_ = 0, height_ = 0;
  std::vector<Control> controls_;
  MessageSink* messages_;
  HelpSink* help_;
  bool started_ = false;
  bool ended_ = false;
  int result_ = 0;
  int focusId_ = -1;
};

// Case-blind comparison of two texts (ASCII letters).
int CompareNoCase(const std::string& a, const std::string& b);

}  // namespace qdui
