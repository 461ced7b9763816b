// The windowed front on the offscreen platform: the real widgets, menus,
// dialogs and message boxes.
#include <gtest/gtest.h>

#include <QApplication>
#include <QFileDialog>
#include <QHeaderView>
#include <QLabel>
#include <QPlainTextEdit>
#include <QMessageBox>
#include <QTest>
#include <QTimer>

#include "data_link_dialog.h"
#include "dialogs.h"
#include "listener_fixture.h"
#include "main_form_window.h"
#include "pg_server.h"
#include "prog_path_module.h"
#include "qt_message_boxes.h"
#include "entry_status.h"
#include "status_panel.h"

using namespace listenertest;
using namespace tallyhost;
using ::testing::AllOf;
using ::testing::EndsWith;
using ::testing::StartsWith;

namespace {
// Runs `f` on the next modal dialog once it is shown.
void OnModal(std::function<void(QWidget*)> f) {
  QTimer::singleShot(0, [f] {
    QWidget* w = QApplication::activeModalWidget();
    if (!w) return OnModal(f);
    f(w);
  });
}

// Answers the next message box with `button` (closes it for NoButton) and
// records its text.
void AnswerBox(QMessageBox::StandardButton button, QString* text) {
  OnModal([button, text](QWidget* w) {
    auto* b = qobject_cast<QMessageBox*>(w);
    if (!b) return;
    *text = b->text();
    if (button == QMessageBox::NoButton) b->close();
    else b->button(button)->click();
  });
}

QStringList Captions(QMenu* menu) {
  QStringList out;
  for (QAction* a : menu->actions()) out << (a->isSeparator() ? "-" : a->text());
  return out;
}
}  // namespace

class WindowTest : public ListenerTest {
 protected:
  void StartWindow(const std::vector<std::string>& lines) {
    WriteConfig(lines);
    window_ = std::make_unique<MainFormWindow>(*state_);
    ASSERT_NO_THROW(tallyhost::Main(*state_, "", *window_, front_));
    form_ = std::make_unique<MainForm>(*state_, *window_, front_);
    window_->SetCore(form_.get());
    form_->StartReceiving();
  }
  void TearDown() override {
    form_.reset();
    window_.reset();
    ListenerTest::TearDown();
  }
  std::unique_ptr<MainFormWindow> window_;
};

// File > Exit ends without the closing steps: closing the window then stores nothing.
TEST_F(WindowTest, CaptionMenusColumnsLayoutAndExit) {
  StartWindow({Line(0, NewDatabase("a.mdb"), "/l")});
  EXPECT_EQ(window_->windowTitle(), "Fragledger Relaymod UDP");
  EXPECT_TRUE(window_->isVisible());
  EXPECT_EQ(Captions(window_->FileMenu), (QStringList{"Raw Logging", "&Save Connnections", "-", "&Exit"}));
  EXPECT_EQ(Captions(window_->Tools), (QStringList{"&Port", "&Database", "&Logon", "&Log", "-", "&Add", "&Delete"}));
  QStringList headers;
  for (int i = 0; i < 4; ++i) headers << window_->ListView1->model()->headerData(i, Qt::Horizontal).toString();
  EXPECT_EQ(headers, (QStringList{"Port", "Database", "Logon", "Log"}));
  EXPECT_EQ(window_->Label1->text().toStdString(), kAboutLine);
  window_->centralWidget()->resize(400, 100);
  window_->LayOut();   // the label takes the top quarter
  EXPECT_EQ(window_->Label1->geometry(), QRect(0, 0, 400, 25));
  EXPECT_EQ(window_->ListView1->geometry(), QRect(0, 25, 400, 75));

  std::string stored = ReadSetting("Tallyhost", "Column(2)Width");
  bool exited = false;
  window_->SetExitHandler([&] { exited = true; });
  window_->ListView1->header()->resizeSection(1, 200);
  window_->FileExit->trigger();
  EXPECT_TRUE(exited);
  window_->close();
  EXPECT_EQ(ReadSetting("Tallyhost", "Column(2)Width"), stored);
  EXPECT_FALSE(testkit::Exists(ProgramPath() + "/connections.old"));
}

TEST_F(WindowTest, HeaderClicksAndRightClick) {
  std::string db = NewDatabase("a.mdb");
  StartWindow({Line(0, db, "/b"), Line(0, db, "/a"), Line(0, db, "/c")});
  QHeaderView* h = window_->ListView1->header();
  for (int i = 0; i < 4; ++i) h->resizeSection(i, 60);
  auto first = [&] {
    QTest::mouseClick(h->viewport(), Qt::LeftButton, {}, QPoint(h->sectionViewportPosition(3) + 30, h->height() / 2));
    return window_->ListView1->model()->index(0, 3).data().toString();
  };
  EXPECT_EQ(first(), "/a");
  EXPECT_EQ(first(), "/c");
  bool shown = false;
  QObject::connect(window_->Tools, &QMenu::aboutToShow, [&] {
    shown = true;
    QTimer::singleShot(0, window_->Tools, &QMenu::close);
  });
  QTest::mouseClick(window_->ListView1->viewport(), Qt::LeftButton, {}, QPoint(5, 5));
  EXPECT_FALSE(shown);
  QTest::mouseClick(window_->ListView1->viewport(), Qt::RightButton, {}, QPoint(5, 5));
  EXPECT_TRUE(shown);
}

TEST_F(WindowTest, CloseSavesAndStoresGeometryAndWidths) {
  const std::pair<const char*, const char*> geometry[] = {
      {"WindowTop", "3000"}, {"WindowLeft", "1500"}, {"WindowHeight", "4500"}, {"WindowWidth", "6000"}};
  for (auto [name, value] : geometry) WriteSetting("Tallyhost", name, value);
  StartWindow({Line(0, NewDatabase("a.mdb"), "/l")});
  QApplication::processEvents();
  window_->ListView1->header()->resizeSection(1, 200);
  window_->close();
  EXPECT_EQ(ReadSetting("Tallyhost", "Column(2)Width"), "3000");
  EXPECT_TRUE(testkit::Exists(ProgramPath() + "/connections.old"));
  for (auto [name, value] : geometry) EXPECT_EQ(ReadSetting("Tallyhost", name), value) << name;
}

namespace {
class CountingTester : public LogonTester {
 public:
  int calls = 0;
  Outcome Test(const std::string&, const std::string&) override {
    return ++calls == 1 ? Outcome::TryAgain : Outcome::Accepted;
  }
};
}  // namespace

// The value and select dialogs; the logon dialog stays open after a failed test.
TEST(Dialogs, SingleValueSingleSelectAndLogin) {
  WidgetDialogs dialogs(nullptr);
  std::string text = "28000";
  OnModal([](QWidget* w) {
    auto* v = qobject_cast<SingleValueDialog*>(w);
    EXPECT_TRUE(v->Command1->isDefault());
    v->Text1->setText("28010");
    v->Command1->click();
  });
  EXPECT_TRUE(dialogs.ShowSingleValue("Modify Port Number", "Port Number", &text, {}));
  EXPECT_EQ(text, "28010");
  OnModal([](QWidget* w) { w->close(); });
  EXPECT_FALSE(dialogs.ShowSingleValue("Modify Port Number", "Port Number", &text, {}));

  QStringList items;
  OnModal([&](QWidget* w) {
    auto* s = qobject_cast<SingleSelectDialog*>(w);
    for (int i = 0; i < s->Combo1->count(); ++i) items << s->Combo1->itemText(i);
    s->Combo1->setCurrentIndex(0);
    s->Command1->click();
  });
  text = "False";
  EXPECT_TRUE(dialogs.ShowSingleSelect("Modify Logon Check", "Require Logon", {"True", "False"}, &text, {}));
  EXPECT_EQ(items, (QStringList{"True", "False"}));
  EXPECT_EQ(text, "True");

  CountingTester tester;
  bool still_open = false;
  QString kept;
  OnModal([&](QWidget* w) {
    auto* l = qobject_cast<Login*>(w);
    EXPECT_EQ(l->windowTitle(), "Database Logon");
    EXPECT_EQ(l->txtPassword->echoMode(), QLineEdit::Password);
    l->txtUserName->setText("me");
    l->cmdOK->click();
    still_open = l->isVisible();
    kept = l->txtUserName->text();
    l->cmdOK->click();
  });
  EXPECT_TRUE(dialogs.ShowLogin("Port: 1", "Database: /d", tester));
  EXPECT_TRUE(still_open);
  EXPECT_EQ(kept, "me");
  EXPECT_EQ(tester.calls, 2);
}

TEST(Dialogs, PathsAreFileSystemBytes) {
  testkit::TempDir tmp;
  const std::string path = tmp.File("M\xC3\xBCller.log");   // UTF-8, as the file system has it
  testkit::Touch(path);
  WidgetDialogs dialogs(nullptr);
  QString preset;
  OnModal([&](QWidget* w) {
    auto* d = qobject_cast<QFileDialog*>(w);
    preset = d->selectedFiles().value(0);
    d->selectFile(QString::fromUtf8(path.c_str()));
    QMetaObject::invokeMethod(d, "accept");
  });
  EXPECT_EQ(dialogs.ShowFileDialog("Log Files (*.Log)|*.log|All Files|*.*", path + ".old"), path);
  EXPECT_EQ(preset.toStdString(), path + ".old");
  DataLinkDialog link;
  link.file->setText(QString::fromUtf8(path.c_str()));
  EXPECT_NE(link.ConnectionString().find(";Data Source=" + path), std::string::npos);
}

TEST(Dialogs, DataLinkTestConnectionReachesAPostgresServerAndShowsItsError) {
  testkit::PgServer& server = testkit::PgServer::Shared();
  const std::string db = server.CreateDatabase("link");
  DataLinkDialog link;
  link.provider->setCurrentText("PostgreSQL");
  link.host->setText(QString::fromStdString(server.SocketFolder()));
  link.port->setText(QString::number(server.Port()));
  link.database->setText(QString::fromStdString(db));
  link.user->setText("tally");
  EXPECT_EQ(link.TestConnection(), "");
  QString shown;
  AnswerBox(QMessageBox::NoButton, &shown);
  QMetaObject::invokeMethod(link.test, "click");
  EXPECT_EQ(shown, "Test connection succeeded.");

  // Over TCP with a wrong password: the server's own words reach the user.
  link.host->setText("127.0.0.1");
  link.password->setText("wrong");
  AnswerBox(QMessageBox::NoButton, &shown);
  QMetaObject::invokeMethod(link.test, "click");
  EXPECT_THAT(shown.toStdString(), AllOf(StartsWith("Test connection failed.\n"),
                                         HasSubstr("password authentication failed for user \"tally\"")));
  link.password->setText("tally");
  EXPECT_EQ(link.TestConnection(), "");
  link.database->setText("no_such_db");
  EXPECT_THAT(link.TestConnection(), HasSubstr("database \"no_such_db\" does not exist"));
  server.DropDatabase(db);
}

TEST(MessageBoxes, DesignedButtonsAndDefault) {
  QtMessageBoxes boxes;
  QStringList buttons;
  bool yes_default = false;
  OnModal([&](QWidget* w) {
    auto* b = qobject_cast<QMessageBox*>(w);
    for (QAbstractButton* x : b->buttons()) buttons << x->text();
    yes_default = b->defaultButton() == b->button(QMessageBox::Yes);
    EXPECT_EQ(b->icon(), QMessageBox::NoIcon);
    EXPECT_EQ(b->windowTitle(), "Record is Locked");
    b->button(QMessageBox::No)->click();
  });
  EXPECT_EQ(boxes.Show("a\r\nb", msgbox::vbYesNoCancel, "Record is Locked", msgbox::Kind::LockPrompt), msgbox::vbNo);
  EXPECT_EQ(buttons.size(), 3);
  EXPECT_TRUE(yes_default);
  OnModal([](QWidget* w) { qobject_cast<QMessageBox*>(w)->close(); });
  EXPECT_EQ(boxes.Show("x", msgbox::vbOKOnly, "t", msgbox::Kind::Message), msgbox::vbOK);
}

// The Database command's dialog starts from the entry's settings.
TEST(DataLink, FilledFromTheEntryLabelsWithoutStrayAmpersands) {
  DataLinkDialog d;
  d.Fill("Provider=SQLite;Persist Security Info=False;Data Source=/data/stats.db");
  EXPECT_EQ(d.provider->currentText(), "SQLite");
  EXPECT_EQ(d.file->text(), "/data/stats.db");
  EXPECT_EQ(d.ConnectionString(), "Provider=SQLite;Persist Security Info=False;Data Source=/data/stats.db");
  d.Fill("Provider=PostgreSQL;Persist Security Info=False;Data Source=stats;Location=db.example:5433;"
         "User ID=tally;User Password=pw");
  EXPECT_EQ((QStringList{d.provider->currentText(), d.database->text(), d.host->text(), d.port->text(),
                         d.user->text(), d.password->text()}),
            (QStringList{"PostgreSQL", "stats", "db.example", "5433", "tally", "pw"}));
  // Every label with an "&" shows it as a shortcut of its field, not as text.
  d.show();
  for (QLabel* label : d.findChildren<QLabel*>())
    EXPECT_TRUE(!label->text().contains('&') || label->buddy()) << label->text().toStdString();
  testkit::TempDir tmp;
  const std::string db = tmp.File("current.db");
  testkit::Touch(db);
  QWidget owner;
  WidgetDialogs dialogs(&owner);
  QString shown;
  OnModal([&](QWidget* w) {
    auto* link = qobject_cast<DataLinkDialog*>(w);
    shown = link->file->text();
    link->cancel->click();
  });
  EXPECT_FALSE(dialogs.PromptNew("Provider=Microsoft.Jet.OLEDB.3.51;Data Source=" + db));
  EXPECT_EQ(shown.toStdString(), db);
}

TEST(DataLink, MissingFileIsCreatedOnlyOnYes) {
  testkit::TempDir tmp;
  const std::string db = tmp.File("new.db");
  DataLinkDialog d;
  d.provider->setCurrentText("SQLite");
  d.file->setText(QString::fromStdString(db));
  QString question;
  AnswerBox(QMessageBox::No, &question);
  d.ok->click();
  EXPECT_THAT(question.toStdString(), HasSubstr("does not exist"));
  EXPECT_FALSE(testkit::Exists(db));
  EXPECT_EQ(d.result(), QDialog::Rejected);   // still open, nothing chosen
  question.clear();
  AnswerBox(QMessageBox::Yes, &question);
  d.ok->click();
  EXPECT_FALSE(question.isEmpty());
  EXPECT_TRUE(testkit::Exists(db));
  EXPECT_EQ(testkit::ReadFile(db), "");
  EXPECT_EQ(d.result(), QDialog::Accepted);
  EXPECT_EQ(d.TestConnection(), "");   // an empty file is an empty database
  // An existing file is taken as it is, without a question.
  DataLinkDialog again;
  again.file->setText(QString::fromStdString(db));
  again.ok->click();
  EXPECT_EQ(again.result(), QDialog::Accepted);
}

TEST_F(WindowTest, StatusBarAndDetailsShowEveryEntryWithoutNewColumns) {
  tallyhost::TheEntryStatus().Clear();
  const int port = FreeUdpPort();
  const std::string db = NewDatabase("s.mdb");
  StartWindow({Line(port, db, tmp_->File("l/Process.log")), Line(0, tmp_->File("missing.mdb"), "/m")});
  StatusPanel panel(*window_, *state_);
  EXPECT_EQ(window_->ListView1->model()->columnCount(), 4);
  SendDatagram(port, ValidDatagram(1));
  SendDatagram(port, {0xff, 0xff, 0x01});
  ASSERT_TRUE(WaitUntil([&] { return Form().HandedOver() + Form().Failed() == 2 && !Form().Busy(); }));
  panel.Update();
  const std::string all = "1 of 2 listening; received 2, stored 1, failed 1, waiting 0, refused 0";
  EXPECT_THAT(panel.summary->text().toStdString(), EndsWith(all));
  EXPECT_EQ(panel.problems->text().toStdString(), "Problems (2)");   // the dead entry and the failed pass
  Select(1);
  panel.Update();
  EXPECT_THAT(panel.summary->text().toStdString(),
              StartsWith("Port " + std::to_string(port) + ": listening, received 2"));
  QString details;
  OnModal([&](QWidget* w) {
    details = w->findChild<QPlainTextEdit*>("statusDetails")->toPlainText();
    qobject_cast<QDialog*>(w)->reject();
  });
  panel.problems->click();
  EXPECT_THAT(details.toStdString(), AllOf(HasSubstr("database failed at start-up"),
                                           HasSubstr("server \"Test Server x\" at 127.0.0.1")));
  EXPECT_EQ(panel.problems->text().toStdString(), "Status");   // read
}
