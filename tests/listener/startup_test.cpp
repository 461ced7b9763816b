// Start-up: connections file, logon, capacity, geometry, sockets and the
// three failure messages.
#include <gtest/gtest.h>

#include <filesystem>

#include "listener_fixture.h"
#include "prog_path_module.h"

using namespace listenertest;
using tallyhost::ReadSetting;

namespace {
const char kGeneralTitle[] = "Error: Can not locate Application Path";
}  // namespace

TEST_F(ListenerTest, FirstRunWritesTheDefaultEntryAndSettings) {
  ASSERT_TRUE(Start());
  const std::string p = ProgramPath();
  EXPECT_EQ(Column(-1), Texts{"con1"});
  EXPECT_EQ(Column(0), Texts{"28000"});
  EXPECT_EQ(Column(1), Texts{"Provider=Microsoft.Jet.OLEDB.3.51;Data Source=" + p + "/test.mdb"});
  EXPECT_EQ(Column(2), Texts{"False"});
  EXPECT_EQ(Column(3), Texts{p + "/Process.log"});
  EXPECT_EQ(ConfigText(), "Port=28000,Database=Provider=Microsoft.Jet.OLEDB.3.51;Persist Security Info=False;"
                          "Data Source=" + p + "/test.mdb,Logon=False,Log=" + p + "/Process.log\r\n");
  EXPECT_TRUE(front_.shown);
  EXPECT_EQ(front_.statuses.back(), tallyhost::kAboutLine);
  // Geometry defaults from a 15360 x 11520 twips screen; columns 1.3 times
  // the width of "28000" (5 x 90 twips) and 1.5 times "Logon".
  for (auto [name, value] : {std::pair{"WindowTop", "3840"}, {"WindowLeft", "1920"}, {"WindowHeight", "1920"},
                             {"WindowWidth", "7680"}, {"Column(1)Width", "585"}, {"Column(3)Width", "675"}})
    EXPECT_EQ(ReadSetting("Tallyhost", name), value) << name;
  EXPECT_FLOAT_EQ(front_.top, 3840);
}

TEST_F(ListenerTest, HeaderOnlyFileGivesNoEntriesAndZeroWidthsRawLoggingToggles) {
  WriteConfig({"Port=,Database=,Logon=,Log="});
  ASSERT_TRUE(Start("logout=5"));
  EXPECT_EQ(state_->ListView1.Count(), 0);
  EXPECT_EQ(state_->udpPeerB->LoadedPorts().size(), 1u);   // element 0 only
  for (int i : {1, 2, 4}) EXPECT_EQ(ReadSetting("Tallyhost", "Column(" + std::to_string(i) + ")Width"), "0");
  EXPECT_EQ(ReadSetting("Tallyhost", "Column(3)Width"), "675");
  EXPECT_EQ(state_->RawLog, 5);
  for (int expected : {1, 0, 1}) {
    Form().FileRaw();
    EXPECT_EQ(state_->RawLog, expected);
  }
}

// cfgfile names the file in lower case; a blank line is a default entry, and
// a lone LF or CR ends a line (the file's last byte is a lone CR).
TEST_F(ListenerTest, CfgfileInLowerCaseABlankLineIsADefaultEntryAndALoneLfOrCrEndsALine) {
  std::string db = NewDatabase("a.mdb");
  std::filesystem::create_directories(ProgramPath());
  testkit::Touch(ProgramPath() + "/test.mdb");
  testkit::WriteFile(ProgramPath() + "/site.cfg",
                     "\r\n" + Line(0, db, "/a") + "\n" + Line(0, db, "/b") + "\r" + Line(0, db, "/c") + "\r");
  ASSERT_TRUE(Start("cfgfile=Site.CFG"));
  EXPECT_EQ(Column(-1), (Texts{"con1", "con2", "con3", "con4"}));
  EXPECT_EQ(Column(0), (Texts{"28000", "0", "0", "0"}));
  EXPECT_EQ(Column(2), (Texts{"False", "False", "False", "False"}));
  EXPECT_EQ(Column(3), (Texts{ProgramPath() + "/Process.log", "/a", "/b", "/c"}));
  EXPECT_FALSE(testkit::Exists(ProgramPath() + "/connections.cfg"));
}

TEST_F(ListenerTest, SecondEntryOnOnePortShowsThePortFailure) {
  std::string db = NewDatabase("a.mdb");
  int port = FreeUdpPort();
  WriteConfig({Line(port, db, "/a"), Line(port, db, "/b"), Line(0, db, "/c"), "Port=abc,Database=" + Jet(db)});
  ASSERT_TRUE(Start());
  std::string p = std::to_string(port);   // ports 0 and "abc" stay unbound silently
  EXPECT_EQ(OnlyBox(kConnectTitle), "Error # 10048:Address in use occured on port " + p +
                                        "\r\nPort will be disabled until problem is corrected.\r\nBest "
                                        "solution is to delete the connection to port " +
                                        p + " and create a new connection for that port.");
  EXPECT_EQ(state_->udpPeerB->LocalPort(1), port);
  EXPECT_TRUE(state_->udpPeerB->IsLoaded(2));
  EXPECT_EQ(state_->udpPeerB->LocalPort(2), 0);
  EXPECT_TRUE(state_->udpPeerB->IsLoaded(4));
  EXPECT_EQ(Column(0), (Texts{p, p, "0", "0"}));
}

TEST_F(ListenerTest, MoreEntriesThanTheCapacityEndTheProgram) {
  std::string db = NewDatabase("a.mdb");
  WriteConfig({Line(0, db, "/l1"), Line(0, db, "/l2"), Line(0, db, "/l3")});
  EXPECT_FALSE(Start("maxcon=2"));   // the box is shown once; the second try fails and ends
  EXPECT_EQ(OnlyBox(kGeneralTitle),
            "Can't locate program path /l3 for ActiveX dll.\r\nUninstall then re-install this "
            "program...it that doesn't work then email support@tallyhost.org\r\nProgram is "
            "terminating.");
}

TEST_F(ListenerTest, StoredWindowTopThatIsNoNumberEndsTheProgram) {
  tallyhost::WriteSetting("Tallyhost", "WindowTop", "abc");
  EXPECT_FALSE(Start());
  OnlyBox(kGeneralTitle);
}

TEST_F(ListenerTest, LogonsCancelledFailedAndAccepted) {
  std::string db = NewDatabase("a.mdb");
  std::string held = Line(0, db, "/held", "True");
  WriteConfig({held, Line(0, tmp_->File("none.mdb"), "/failed", "True"), Line(0, db, "/accepted", "True")});
  using Logon = std::pair<std::string, std::string>;
  // Cancel; a logon that fails, then Cancel; one accepted.
  front_.logons = {std::nullopt, Logon{"u", "p"}, std::nullopt, Logon{"user", "pw"}};
  boxes_->Push(msgbox::vbOK);   // "Logon Failed": try again
  ASSERT_TRUE(Start());
  ASSERT_EQ(front_.login_labels.size(), 3u);
  EXPECT_EQ(front_.login_labels[0], Logon("Port: 0", "Database: " + db));
  ASSERT_GE(Boxes().size(), 1u);
  EXPECT_EQ(Boxes()[0].title, "Logon Failed");
  EXPECT_EQ(Boxes()[0].text, "Logon is invalid.  Try again?");
  EXPECT_EQ(Boxes()[0].buttons, msgbox::vbOKCancel);
  // Only the accepted entry is numbered; it keeps its connection string.
  EXPECT_EQ(Column(-1), Texts{"con1"});
  EXPECT_EQ(Column(3), Texts{"/accepted"});
  EXPECT_EQ(state_->Slot(1), Jet(db));
  Form().FileSave();   // the cancelled entries' lines are kept
  EXPECT_THAT(ConfigText(), HasSubstr(held + "\r\n"));
  EXPECT_THAT(ConfigText(), HasSubstr("/failed"));
}
