#include "dialogs.h"

#include <QFile>
#include <QFileDialog>
#include <QStringList>
#include <cmath>

#include "data_link_dialog.h"

namespace tallyhost {

int Px(double twips) { return static_cast<int>(std::lround(twips / 15.0)); }

namespace {
QString Narrow(const std::string& s) { return QString::fromLatin1(s.data(), qsizetype(s.size())); }
std::string ToNarrow(const QString& s) { return s.toLatin1().toStdString(); }

void Place(QWidget* w, double left, double top, double width, double height) {
  w->setGeometry(Px(left), Px(top), Px(width), Px(height));
}

void FixClientSize(QDialog* d, double width, double height) {
  d->setFixedSize(Px(width), Px(height));
}
}  // namespace

SingleValueDialog::SingleValueDialog(QWidget* parent) : QDialog(parent) {
  setWindowTitle("SingleValueDialog");
  FixClientSize(this, 3300, 870);
  Label1 = new QLabel("Port Number", this);
  Place(Label1, 120, 240, 1575, 375);
  Text1 = new QLineEdit("Text1", this);
  Place(Text1, 1800, 240, 855, 405);
  Command1 = new QPushButton("OK", this);
  Place(Command1, 2760, 240, 495, 495);
  Command1->setDefault(true);
  connect(Command1, &QPushButton::clicked, this, &QDialog::accept);
}

SingleSelectDialog::SingleSelectDialog(QWidget* parent) : QDialog(parent) {
  setWindowTitle("SingleSelectDialog");
  FixClientSize(this, 3300, 870);
  Label1 = new QLabel("Port Number", this);
  Place(Label1, 120, 240, 1575, 375);
  Combo1 = new QComboBox(this);
  Combo1->setEditable(true);
  Combo1->setInsertPolicy(QComboBox::NoInsert);
  Combo1->setEditText("Combo1");
  Combo1->move(Px(1800), Px(240));
  Combo1->resize(Px(855), Combo1->sizeHint().height());
  Command1 = new QPushButton("OK", this);
  Place(Command1, 2760, 240, 495, 495);
  Command1->setDefault(true);
  connect(Command1, &QPushButton::clicked, this, &QDialog::accept);
}

Login::Login(LogonTester& tester, QWidget* parent) : QDialog(parent), tester_(tester) {
  setWindowTitle("Database Logon");
  FixClientSize(this, 3750, 2775);
  Label1 = new QLabel(this);
  Place(Label1, 120, 120, 3495, 255);
  Label2 = new QLabel(this);
  Place(Label2, 120, 480, 3495, 735);
  Label2->setWordWrap(true);
  Label2->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  lblLabels[0] = new QLabel("&User Name:", this);
  Place(lblLabels[0], 105, 1350, 1080, 270);
  txtUserName = new QLineEdit(this);
  Place(txtUserName, 1290, 1335, 2325, 345);
  lblLabels[0]->setBuddy(txtUserName);
  lblLabels[1] = new QLabel("&Password:", this);
  Place(lblLabels[1], 105, 1740, 1080, 270);
  txtPassword = new QLineEdit(this);
  txtPassword->setEchoMode(QLineEdit::Password);
  Place(txtPassword, 1290, 1725, 2325, 345);
  lblLabels[1]->setBuddy(txtPassword);
  cmdOK = new QPushButton("OK", this);
  Place(cmdOK, 495, 2220, 1140, 390);
  cmdOK->setDefault(true);
  cmdCancel = new QPushButton("Cancel", this);
  Place(cmdCancel, 2100, 2220, 1140, 390);
  connect(cmdOK, &QPushButton::clicked, this, &Login::OnOK);
  connect(cmdCancel, &QPushButton::clicked, this, &QDialog::reject);   // Esc as well
}

void Login::OnOK() {
  switch (tester_.Test(ToNarrow(txtUserName->text()), ToNarrow(txtPassword->text()))) {
    case LogonTester::Outcome::Accepted:
      accept();
      break;
    case LogonTester::Outcome::Cancelled:
      reject();
      break;
    case LogonTester::Outcome::TryAgain:
      break;   // stays open with what was typed
  }
}

bool WidgetDialogs::ShowLogin(const std::string& label1, const std::string& label2,
                              LogonTester& tester) {
  Login d(tester, owner_ && owner_->isVisible() ? owner_ : nullptr);
  d.Label1->setText(Narrow(label1));
  d.Label2->setText(Narrow(label2));
  return d.exec() == QDialog::Accepted;
}

bool WidgetDialogs::ShowSingleValue(const std::string& caption, const std::string& label,
                                    std::string* text, Placement where) {
  SingleValueDialog d(owner_);
  d.setWindowTitle(Narrow(caption));
  d.Label1->setText(Narrow(label));
  d.Text1->setText(Narrow(*text));
  d.move(Px(where.left), Px(where.top));
  if (d.exec() != QDialog::Accepted) return false;
  *text = ToNarrow(d.Text1->text());
  return true;
}

bool WidgetDialogs::ShowSingleSelect(const std::string& caption, const std::string& label,
                                     const std::vector<std::string>& items, std::string* text,
                                     Placement where) {
  SingleSelectDialog d(owner_);
  d.setWindowTitle(Narrow(caption));
  d.Label1->setText(Narrow(label));
  for (const auto& item : items) d.Combo1->addItem(Narrow(item));
  d.Combo1->setEditText(Narrow(*text));
  d.move(Px(where.left), Px(where.top));
  if (d.exec() != QDialog::Accepted) return false;
  *text = ToNarrow(d.Combo1->currentText());
  return true;
}

QString QtFileFilter(const std::string& filter) {
  QStringList parts = Narrow(filter).split('|');
  QStringList out;
  for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
    QString desc = parts[i];
    int paren = static_cast<int>(desc.indexOf('('));
    if (paren >= 0) desc = desc.left(paren).trimmed();
    QStringList patterns = parts[i + 1].split(';', Qt::SkipEmptyParts);
    for (QString& p : patterns)
      if (p == "*.*") p = "*";
    out << desc + " (" + patterns.join(' ') + ")";
  }
  return out.join(";;");
}

std::optional<std::string> WidgetDialogs::ShowFileDialog(const std::string& filter,
                                                         const std::string& file_name) {
  QFileDialog d(owner_);
  d.setAcceptMode(QFileDialog::AcceptSave);
  d.setFileMode(QFileDialog::AnyFile);
  d.setOption(QFileDialog::DontConfirmOverwrite, true);
  d.setOption(QFileDialog::DontUseNativeDialog, true);
  d.setNameFilters(QtFileFilter(filter).split(";;"));
  // Paths are the file system's bytes, not narrow text.
  d.selectFile(QFile::decodeName(file_name.c_str()));
  if (d.exec() != QDialog::Accepted || d.selectedFiles().isEmpty()) return std::nullopt;
  return QFile::encodeName(d.selectedFiles().first()).toStdString();
}

std::optional<std::string> WidgetDialogs::PromptNew(const std::string& current) {
  DataLinkDialog d(owner_);
  d.Fill(current);
  if (d.exec() != QDialog::Accepted) return std::nullopt;
  return d.ConnectionString();
}

}  // namespace tallyhost
