// The listener's modal dialogs as Qt widgets, laid out from their designed
// twips at 15 twips per pixel: SingleValueDialog (one text), SingleSelectDialog
// (one combo box), Login (user name and password, tested on OK), and
// WidgetDialogs, the Dialogs interface of the windowed front (these dialogs,
// the file dialog and the data-link dialog).
//
// Each dialog is created anew for every showing. User-interface thread only.
#pragma once

#include <QComboBox>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "front.h"

namespace tallyhost {

int Px(double twips);

class SingleValueDialog : public QDialog {
  Q_OBJECT

 public:
  explicit SingleValueDialog(QWidget* parent = nullptr);
  QLabel* Label1;
  QLineEdit* Text1;
  QPushButton* Command1;
};

class SingleSelectDialog : public QDialog {
  Q_OBJECT

 public:
  explicit SingleSelectDialog(QWidget* parent = nullptr);
  QLabel* Label1;
  QComboBox* Combo1;
  QPushButton* Command1;
};

class Login : public QDialog {
  Q_OBJECT

 public:
  Login(LogonTester& tester, QWidget* parent = nullptr);
  QLabel* Label1;
  QLabel* Label2;
  QLabel* lblLabels[2];
  QLineEdit* txtUserName;
  QLineEdit* txtPassword;
  QPushButton* cmdOK;
  QPushButton* cmdCancel;

 private:
  void OnOK();
  LogonTester& tester_;
};

class WidgetDialogs : public Dialogs {
 public:
  explicit WidgetDialogs(QWidget* owner) : owner_(owner) {}
  bool ShowLogin(const std::string& label1, const std::string& label2,
                 LogonTester& tester) override;
  bool ShowSingleValue(const std::string& caption, const std::string& label, std::string* text,
                       Placement where) override;
  bool ShowSingleSelect(const std::string& caption, const std::string& label,
                        const std::vector<std::string>& items, std::string* text,
                        Placement where) override;
  std::optional<std::string> ShowFileDialog(const std::string& filter,
                                            const std::string& file_name) override;
  std::optional<std::string> PromptNew(const std::string& current) override;

 private:
  QWidget* owner_;
};

// "Desc|pattern|Desc|pattern" as Qt name filters ("Desc (pattern)").
QString QtFileFilter(const std::string& filter);

}  // namespace tallyhost
