#include "qt_message_boxes.h"

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <vector>

namespace tallyhost {

namespace {
QString Narrow(const std::string& s) {
  QString q = QString::fromLatin1(s.data(), qsizetype(s.size()));
  q.replace(QLatin1String("\r\n"), QLatin1String("\n"));
  return q;
}
}  // namespace

int QtMessageBoxes::Show(const std::string& text, int buttons, const std::string& title,
                         msgbox::Kind) {
  QMessageBox box(QMessageBox::NoIcon, Narrow(title), Narrow(text), QMessageBox::NoButton,
                  QApplication::activeWindow());
  struct Choice {
    QMessageBox::StandardButton button;
    int answer;
  };
  std::vector<Choice> choices;
  switch (buttons & 7) {
    case msgbox::vbOKCancel:
      choices = {{QMessageBox::Ok, msgbox::vbOK}, {QMessageBox::Cancel, msgbox::vbCancel}};
      break;
    case msgbox::vbYesNoCancel:
      choices = {{QMessageBox::Yes, msgbox::vbYes},
                 {QMessageBox::No, msgbox::vbNo},
                 {QMessageBox::Cancel, msgbox::vbCancel}};
      break;
    case msgbox::vbYesNo:
      choices = {{QMessageBox::Yes, msgbox::vbYes}, {QMessageBox::No, msgbox::vbNo}};
      break;
    default:
      choices = {{QMessageBox::Ok, msgbox::vbOK}};
      break;
  }
  for (const Choice& c : choices) box.addButton(c.button);
  size_t default_index = static_cast<size_t>((buttons >> 8) & 3);
  if (default_index >= choices.size()) default_index = 0;
  box.setDefaultButton(choices[default_index].button);
  if (choices.size() == 1) box.setEscapeButton(choices[0].button);
  box.exec();
  QAbstractButton* clicked = box.clickedButton();
  for (const Choice& c : choices)
    if (clicked == box.button(c.button)) return c.answer;
  // Closed without a button: Cancel where there is one, else the only answer.
  for (const Choice& c : choices)
    if (c.answer == msgbox::vbCancel) return c.answer;
  return choices.back().answer;
}

}  // namespace tallyhost
