// Start-up: connections file, logon, capacity, geometry, sockets and the
// three failure messages.
#include <gtest/gtest.h>

#include <filesystem>

#include "listener_fixture.h"
#include "prog_path_module.h"
#include "textfile.h"

using namespace listenertest;
using tallyhost::ReadSetting;

namespace {
const char kGeneralTitle[] = "Error: Can not locate Application Path";
const char kConnectTitle[] = "Error: Can not connect to database.";
}  // namespace

TEST_F(ListenerTest, FirstRunWritesTheDefaultEntryAndAnEmptyDatabase) {
  ASSERT_TRUE(Start());
  const std::string p = ProgramPath();
  ASSERT_EQ(state_->ListView1.Count(), 1);
  const auto& row = state_->ListView1.rows()[0];
  EXPECT_EQ(row.key, "con1");
  EXPECT_EQ(row.text, "28000");
  EXPECT_EQ(row.sub[0], "Provider=Microsoft.Jet.OLEDB.3.51;Data Source=" + p + "/test.mdb");
  EXPECT_EQ(row.sub[1], "False");
  EXPECT_EQ(row.sub[2], p + "/Process.log");
  EXPECT_EQ(ConfigText(), "Port=28000,Database=Provider=Microsoft.Jet.OLEDB.3.51;Persist "
                          "Security Info=False;Data Source=" +
                              p + "/test.mdb,Logon=False,Log=" + p + "/Process.log\r\n");
  EXPECT_TRUE(testkit::Exists(p + "/test.mdb"));
  EXPECT_TRUE(front_.shown);
  EXPECT_EQ(front_.statuses.back(), tallyhost::kAboutLine);
  // Geometry defaults from a 15360 x 11520 twips screen.
  EXPECT_EQ(ReadSetting("Tallyhost", "WindowTop"), "3840");
  EXPECT_EQ(ReadSetting("Tallyhost", "WindowLeft"), "1920");
  EXPECT_EQ(ReadSetting("Tallyhost", "WindowHeight"), "1920");
  EXPECT_EQ(ReadSetting("Tallyhost", "WindowWidth"), "7680");
  EXPECT_FLOAT_EQ(front_.top, 3840);
  // Column 1: 1.3 times the width of "28000" (5 x 90 twips).
  EXPECT_EQ(ReadSetting("Tallyhost", "Column(1)Width"), "585");
  EXPECT_EQ(ReadSetting("Tallyhost", "Column(3)Width"), "675");
}

TEST_F(ListenerTest, NoOtherDatabaseFileIsEverCreated) {
  WriteConfig({Line(FreeUdpPort(), tmp_->File("missing.mdb"), tmp_->File("p.log"))});
  ASSERT_TRUE(Start());
  EXPECT_FALSE(testkit::Exists(tmp_->File("missing.mdb")));
  EXPECT_FALSE(testkit::Exists(ProgramPath() + "/test.mdb"));
  // The schema failure is reported and the socket is not loaded.
  auto boxes = Boxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].title, kConnectTitle);
  EXPECT_NE(boxes[0].text.find(" occured for connection to database Provider=Microsoft.Jet."
                               "OLEDB.3.51;Data Source=" +
                               tmp_->File("missing.mdb") + " on port "),
            std::string::npos);
  EXPECT_NE(boxes[0].text.find("\r\nPort will be disabled until database connection is "
                               "restored.\r\nBest solution is to delete the connection to port "),
            std::string::npos);
  EXPECT_FALSE(state_->udpPeerB->IsLoaded(1));
}

TEST_F(ListenerTest, HeaderOnlyFileGivesNoEntriesAndZeroWidths) {
  WriteConfig({"Port=,Database=,Logon=,Log="});
  ASSERT_TRUE(Start());
  EXPECT_EQ(state_->ListView1.Count(), 0);
  EXPECT_EQ(state_->udpPeerB->LoadedPorts().size(), 1u);   // element 0 only
  EXPECT_EQ(ReadSetting("Tallyhost", "Column(1)Width"), "0");
  EXPECT_EQ(ReadSetting("Tallyhost", "Column(2)Width"), "0");
  EXPECT_EQ(ReadSetting("Tallyhost", "Column(3)Width"), "675");
  EXPECT_EQ(ReadSetting("Tallyhost", "Column(4)Width"), "0");
}

TEST_F(ListenerTest, BlankLineIsADefaultEntry) {
  std::string db = NewDatabase("a.mdb");
  int port = FreeUdpPort();
  WriteConfig({"", Line(port, db, tmp_->File("a.log"))});
  testkit::Touch(ProgramPath() + "/test.mdb");
  ASSERT_TRUE(Start());
  ASSERT_EQ(state_->ListView1.Count(), 2);
  EXPECT_EQ(state_->ListView1.rows()[0].text, "28000");
  EXPECT_EQ(state_->ListView1.rows()[0].sub[1], "False");
  EXPECT_EQ(state_->ListView1.rows()[1].key, "con2");
}

TEST_F(ListenerTest, LinesEndingInLfAloneAreLines) {
  std::filesystem::create_directories(ProgramPath());
  std::string db = NewDatabase("a.mdb");
  int p1 = FreeUdpPort(), p2 = FreeUdpPort();
  testkit::WriteFile(ProgramPath() + "/connections.cfg",
                     Line(p1, db, tmp_->File("a.log")) + "\n" + Line(p2, db, tmp_->File("b.log")) +
                         "\n");
  ASSERT_TRUE(Start());
  ASSERT_EQ(state_->ListView1.Count(), 2);
  EXPECT_EQ(state_->ListView1.rows()[0].sub[2], tmp_->File("a.log"));
}

TEST_F(ListenerTest, SecondEntryOnOnePortShowsThePortFailure) {
  std::string db = NewDatabase("a.mdb");
  int port = FreeUdpPort();
  WriteConfig({Line(port, db, tmp_->File("a.log")), Line(port, db, tmp_->File("b.log"))});
  ASSERT_TRUE(Start());
  auto boxes = Boxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].title, kConnectTitle);
  std::string p = std::to_string(port);
  EXPECT_EQ(boxes[0].text, "Error # 10048:Address in use occured on port " + p +
                               "\r\nPort will be disabled until problem is corrected.\r\nBest "
                               "solution is to delete the connection to port " +
                               p + " and create a new connection for that port.");
  EXPECT_EQ(state_->udpPeerB->LocalPort(1), port);
  EXPECT_TRUE(state_->udpPeerB->IsLoaded(2));
  EXPECT_EQ(state_->udpPeerB->LocalPort(2), 0);
}

TEST_F(ListenerTest, PortZeroAndNonNumericPortsAreListedButNeverBound) {
  std::string db = NewDatabase("a.mdb");
  WriteConfig({Line(0, db, tmp_->File("a.log")),
               "Port=abc,Database=" + Jet(db) + ",Logon=False,Log=x"});
  ASSERT_TRUE(Start());
  EXPECT_TRUE(Boxes().empty());
  ASSERT_EQ(state_->ListView1.Count(), 2);
  EXPECT_EQ(state_->ListView1.rows()[1].text, "0");
  EXPECT_TRUE(state_->udpPeerB->IsLoaded(2));
  EXPECT_EQ(state_->udpPeerB->LocalPort(1), 0);
}

TEST_F(ListenerTest, MoreEntriesThanTheCapacityEndTheProgram) {
  std::string db = NewDatabase("a.mdb");
  WriteConfig({Line(0, db, "/l1"), Line(0, db, "/l2"), Line(0, db, "/l3")});
  EXPECT_FALSE(Start("maxcon=2"));
  auto boxes = Boxes();
  ASSERT_EQ(boxes.size(), 1u);   // shown once; the second try fails and ends
  EXPECT_EQ(boxes[0].title, kGeneralTitle);
  EXPECT_EQ(boxes[0].text,
            "Can't locate program path /l3 for ActiveX dll.\r\nUninstall then re-install this "
            "program...it that doesn't work then email support@tallyhost.org\r\nProgram is "
            "terminating.");
}

TEST_F(ListenerTest, StoredWindowTopThatIsNoNumberEndsTheProgram) {
  tallyhost::WriteSetting("Tallyhost", "WindowTop", "abc");
  EXPECT_FALSE(Start());
  ASSERT_EQ(Boxes().size(), 1u);
  EXPECT_EQ(Boxes()[0].title, kGeneralTitle);
}

TEST_F(ListenerTest, CfgfileNamesTheFileInLowerCase) {
  std::string db = NewDatabase("a.mdb");
  WriteConfig({Line(0, db, "/site")}, "site.cfg");
  ASSERT_TRUE(Start("cfgfile=Site.CFG"));
  ASSERT_EQ(state_->ListView1.Count(), 1);
  EXPECT_EQ(state_->ListView1.rows()[0].sub[2], "/site");
  EXPECT_FALSE(testkit::Exists(ProgramPath() + "/connections.cfg"));
}

TEST_F(ListenerTest, CancelledLogonIsNotNumberedAndSurvivesASave) {
  std::string db = NewDatabase("a.mdb");
  std::string held = Line(0, db, "/held", "True");
  WriteConfig({held, Line(0, db, "/next")});
  front_.logons.push_back(std::nullopt);   // Cancel
  ASSERT_TRUE(Start());
  ASSERT_EQ(front_.login_labels.size(), 1u);
  EXPECT_EQ(front_.login_labels[0].first, "Port: 0");
  EXPECT_EQ(front_.login_labels[0].second, "Database: " + db);
  ASSERT_EQ(state_->ListView1.Count(), 1);
  EXPECT_EQ(state_->ListView1.rows()[0].key, "con1");
  EXPECT_EQ(state_->ListView1.rows()[0].sub[2], "/next");
  Form().FileSave();
  EXPECT_NE(ConfigText().find(held + "\r\n"), std::string::npos);
}

TEST_F(ListenerTest, AcceptedLogonKeepsTheConnectionStringWithoutTheTypedValues) {
  std::string db = NewDatabase("a.mdb");
  WriteConfig({Line(0, db, "/l", "True")});
  front_.logons.push_back(std::make_pair(std::string("user"), std::string("pw")));
  ASSERT_TRUE(Start());
  ASSERT_EQ(state_->ListView1.Count(), 1);
  EXPECT_EQ(state_->Slot(1), Jet(db));
}

TEST_F(ListenerTest, FailedLogonAsksAndOkTriesAgain) {
  WriteConfig({Line(0, tmp_->File("none.mdb"), "/l", "True")});
  front_.logons.push_back(std::make_pair(std::string("u"), std::string("p")));
  front_.logons.push_back(std::nullopt);
  boxes_->Push(msgbox::vbOK);
  ASSERT_TRUE(Start());
  auto boxes = Boxes();
  ASSERT_GE(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].title, "Logon Failed");
  EXPECT_EQ(boxes[0].text, "Logon is invalid.  Try again?");
  EXPECT_EQ(boxes[0].buttons, msgbox::vbOKCancel);
  EXPECT_EQ(state_->ListView1.Count(), 0);
}
