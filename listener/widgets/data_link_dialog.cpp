#include "data_link_dialog.h"

#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QVBoxLayout>

#include "ado.h"

namespace tallyhost {

namespace {
std::string ToNarrow(const QString& s) { return s.toLatin1().toStdString(); }
}  // namespace

DataLinkDialog::DataLinkDialog(QWidget* parent) : QDialog(parent) {
  setWindowTitle("Data Link Properties");
  auto* top = new QVBoxLayout(this);
  auto* form = new QFormLayout;
  provider = new QComboBox(this);
  provider->addItems({"Microsoft.Jet.OLEDB.3.51", "SQLite", "PostgreSQL"});
  form->addRow("&Provider:", provider);
  top->addLayout(form);

  pages_ = new QStackedWidget(this);
  auto* file_page = new QWidget;
  auto* file_row = new QHBoxLayout(file_page);
  file_row->setContentsMargins(0, 0, 0, 0);
  auto* file_label = new QLabel("Database &file:");
  file_row->addWidget(file_label);
  file = new QLineEdit;
  file_label->setBuddy(file);   // the "&" marks the shortcut, not a character
  file_row->addWidget(file, 1);
  browse = new QPushButton("&Browse...");
  file_row->addWidget(browse);
  pages_->addWidget(file_page);

  auto* server_page = new QWidget;
  auto* server_form = new QFormLayout(server_page);
  server_form->setContentsMargins(0, 0, 0, 0);
  host = new QLineEdit;
  port = new QLineEdit;
  database = new QLineEdit;
  user = new QLineEdit;
  password = new QLineEdit;
  password->setEchoMode(QLineEdit::Password);
  server_form->addRow("&Host:", host);
  server_form->addRow("P&ort:", port);
  server_form->addRow("&Database:", database);
  server_form->addRow("&User name:", user);
  server_form->addRow("Pass&word:", password);
  pages_->addWidget(server_page);
  top->addWidget(pages_);

  auto* buttons = new QHBoxLayout;
  test = new QPushButton("&Test Connection");
  buttons->addWidget(test);
  buttons->addStretch(1);
  ok = new QPushButton("OK");
  ok->setDefault(true);
  cancel = new QPushButton("Cancel");
  buttons->addWidget(ok);
  buttons->addWidget(cancel);
  top->addLayout(buttons);

  connect(provider, &QComboBox::currentIndexChanged, this, &DataLinkDialog::OnProvider);
  connect(browse, &QPushButton::clicked, this, &DataLinkDialog::OnBrowse);
  connect(test, &QPushButton::clicked, this, &DataLinkDialog::OnTest);
  connect(ok, &QPushButton::clicked, this, &DataLinkDialog::OnOK);
  connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
  OnProvider();
}

bool DataLinkDialog::IsServer() const { return provider->currentText() == "PostgreSQL"; }

void DataLinkDialog::OnProvider() { pages_->setCurrentIndex(IsServer() ? 1 : 0); }

std::string DataLinkDialog::ConnectionString() const {
  // Built by appending (one setting after another), never by inserting.
  std::string s = "Provider=";
  s.append(ToNarrow(provider->currentText())).append(";Persist Security Info=False");
  // A database file's path is the file system's bytes.
  s.append(";Data Source=")
      .append(IsServer() ? ToNarrow(database->text())
                         : QFile::encodeName(file->text()).toStdString());
  if (!IsServer()) return s;
  if (!host->text().isEmpty()) {
    s.append(";Location=").append(ToNarrow(host->text()));
    if (!port->text().isEmpty()) s.append(":").append(ToNarrow(port->text()));
  }
  if (!user->text().isEmpty()) s.append(";User ID=").append(ToNarrow(user->text()));
  if (!password->text().isEmpty())
    s.append(";User Password=").append(ToNarrow(password->text()));
  return s;
}

std::string DataLinkDialog::Problem() const {
  const QLineEdit* fields[] = {file, host, port, database, user, password};
  for (const QLineEdit* f : fields)
    if (f->text().contains(';') || f->text().contains(','))
      return "A setting can not contain \";\" or \",\".";
  if (!IsServer() && file->text().isEmpty()) return "Choose a database file.";
  if (IsServer() && database->text().isEmpty()) return "Enter the name of the database.";
  if (IsServer() && !port->text().isEmpty()) {
    bool ok_number = false;
    int p = port->text().toInt(&ok_number);
    if (!ok_number || p < 1 || p > 65535) return "The port must be a number from 1 to 65535.";
  }
  return "";
}

std::string DataLinkDialog::TestConnection() const {
  std::string problem = Problem();
  if (!problem.empty()) return problem;
  try {
    ado::Connection c;
    c.Open(ConnectionString());
    c.Close();
    return "";
  } catch (const ado::Error& e) {
    return "Error # " + std::to_string(e.Number()) + ":" + e.Description();
  } catch (const std::exception& e) {
    return e.what();
  }
}

void DataLinkDialog::OnBrowse() {
  // A name that does not exist yet may be typed: OK then offers to create it.
  QFileDialog d(this, "Database file", file->text(), "Databases (*.mdb *.db *.sqlite);;All Files (*)");
  d.setOption(QFileDialog::DontUseNativeDialog, true);
  d.setOption(QFileDialog::DontConfirmOverwrite, true);
  d.setAcceptMode(QFileDialog::AcceptOpen);
  d.setFileMode(QFileDialog::AnyFile);
  if (d.exec() == QDialog::Accepted && !d.selectedFiles().isEmpty()) file->setText(d.selectedFiles().first());
}

void DataLinkDialog::Fill(const std::string& cs) {
  if (cs.empty()) return;
  const QString name = QString::fromLatin1(ado::ConnectionSetting(cs, "Provider").c_str());
  for (int i = 0; i < provider->count(); ++i)
    if (provider->itemText(i).compare(name, Qt::CaseInsensitive) == 0) provider->setCurrentIndex(i);
  OnProvider();
  const std::string source = ado::ConnectionSetting(cs, "Data Source");
  if (IsServer()) {
    database->setText(QString::fromLatin1(source.c_str()));
    const std::string location = ado::ConnectionSetting(cs, "Location");
    const size_t colon = location.rfind(':');
    host->setText(QString::fromLatin1(location.substr(0, colon).c_str()));
    port->setText(colon == std::string::npos ? "" : QString::fromLatin1(location.substr(colon + 1).c_str()));
    user->setText(QString::fromLatin1(ado::ConnectionSetting(cs, "User ID").c_str()));
    password->setText(QString::fromLatin1(ado::ConnectionSetting(cs, "User Password").c_str()));
  } else {
    file->setText(QFile::decodeName(source.c_str()));
  }
}

std::string DataLinkDialog::CreateEmptyFile() const {
  QFile f(file->text());
  if (!f.open(QIODevice::WriteOnly | QIODevice::NewOnly))
    return "The database file " + QFile::encodeName(file->text()).toStdString() +
           " could not be created: " + f.errorString().toStdString();
  f.close();
  return "";
}

void DataLinkDialog::OnTest() {
  std::string failure = TestConnection();
  if (failure.empty())
    QMessageBox::information(this, "Data Link", "Test connection succeeded.");
  else
    QMessageBox::warning(this, "Data Link",
                         "Test connection failed.\n" + QString::fromLatin1(failure.c_str()));
}

void DataLinkDialog::OnOK() {
  std::string problem = Problem();
  if (!problem.empty()) {
    QMessageBox::warning(this, "Data Link", QString::fromLatin1(problem.c_str()));
    return;
  }
  if (!IsServer() && !QFileInfo::exists(file->text())) {
    const auto answer = QMessageBox::question(
        this, "Data Link",
        "The database file " + file->text() + " does not exist.\nCreate a new, empty database file?",
        QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
    if (answer != QMessageBox::Yes) return;
    const std::string failure = CreateEmptyFile();
    if (!failure.empty()) {
      QMessageBox::warning(this, "Data Link", QString::fromLocal8Bit(failure.c_str()));
      return;
    }
  }
  accept();
}

}  // namespace tallyhost
