// The fronts of the listener: what the core needs from a window and from the
// dialogs, so that the core (start-up, receipt, commands, closing) runs the
// same with Qt widgets, headless, or scripted by tests.
//
// FormView is MainForm's visible side: geometry in twips, the status label,
// column widths, text measuring. Dialogs shows the modal dialogs and returns
// what the user chose. Both are called on the user-interface thread only; a
// modal dialog may run a nested event loop in which datagrams are received.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace tallyhost {

class FormView {
 public:
  virtual ~FormView() = default;

  // False for a run without a window: geometry and column defaults are then
  // neither computed nor stored.
  virtual bool HasScreen() const = 0;
  // Screen size in twips.
  virtual double ScreenWidth() const = 0;
  virtual double ScreenHeight() const = 0;

  // Window geometry in twips.
  virtual void SetTop(float twips) = 0;
  virtual void SetLeft(float twips) = 0;
  virtual void SetHeight(float twips) = 0;
  virtual void SetWidth(float twips) = 0;
  virtual float Top() const = 0;
  virtual float Left() const = 0;
  virtual float Height() const = 0;
  virtual float Width() const = 0;

  // The width Label1 takes when auto-sized to `text`, in twips.
  virtual double MeasureText(const std::string& text) = 0;
  // Width of list column 1 to 4, in twips.
  virtual void SetColumnWidth(int column, float twips) = 0;
  virtual float ColumnWidth(int column) const = 0;

  // Lays out ListView1 and Label1 in the client area (start-up steps 5, 12).
  virtual void LayOut() = 0;
  virtual void SetStatus(const std::string& text) = 0;
  virtual void SetToolsDatabaseCaption(const std::string& caption) = 0;
  virtual void Show() = 0;
};

// The Login dialog's request: the labels and the logon test to run on OK.
class LogonTester {
 public:
  virtual ~LogonTester() = default;
  enum class Outcome { Accepted, TryAgain, Cancelled };
  // Runs the logon test with the typed values; on failure asks "Logon
  // Failed" and returns TryAgain (OK) or Cancelled (Cancel).
  virtual Outcome Test(const std::string& user, const std::string& password) = 0;
};

class Dialogs {
 public:
  virtual ~Dialogs() = default;

  struct Placement {
    float left = 0, top = 0;   // twips, screen coordinates
  };

  // Login: shown modally; returns true when a logon test succeeded.
  virtual bool ShowLogin(const std::string& label1, const std::string& label2,
                         LogonTester& tester) = 0;
  // SingleValueDialog: true when closed by OK, with *text the text box.
  virtual bool ShowSingleValue(const std::string& caption, const std::string& label,
                               std::string* text, Placement where) = 0;
  // SingleSelectDialog: true when closed by OK, with *text the combo text.
  virtual bool ShowSingleSelect(const std::string& caption, const std::string& label,
                                const std::vector<std::string>& items, std::string* text,
                                Placement where) = 0;
  // The file dialog (CommonDialog1): the chosen path, nothing on cancel.
  virtual std::optional<std::string> ShowFileDialog(const std::string& filter,
                                                    const std::string& file_name) = 0;
  // The data-link dialog: a connection string, nothing on cancel.
  // `current`: the entry's connection string to start from (empty for a new entry).
  virtual std::optional<std::string> PromptNew(const std::string& current) = 0;
};

}  // namespace tallyhost
