// The connection commands of the Tools menu, the File menu and the closing
// steps, through scripted dialogs.
#include <gtest/gtest.h>

#include "listener_fixture.h"
#include "prog_path_module.h"

using namespace listenertest;
using CommandsTest = ListenerTest;

TEST_F(CommandsTest, PortsInUseChangeAndAddNothing) {
  StartEntries(3);
  Select(2);
  for (std::string v : {std::to_string(ports[2]), std::string("abc")}) {   // "abc": port 0
    front_.values.push_back(v);
    Form().ToolsPort();
    front_.values.push_back(v == "abc" ? "" : std::to_string(ports[2]));
    Form().ToolsAdd();
  }
  EXPECT_EQ(Seen(0), "Modify Port Number|Port Number|" + std::to_string(ports[2]));
  EXPECT_EQ(Seen(1), "Enter Port Number|Port Number|");
  Texts texts;
  for (const auto& box : Boxes()) texts.push_back(box.title + ": " + box.text);
  const std::string p = "Error: Port Already In Use: Port " + std::to_string(ports[2]) + " is already in use.\r\n";
  const std::string p0 = "Error: Port Already In Use: Port 0 is already in use.\r\n";
  const std::string add = "New connection has not been saved.";
  EXPECT_EQ(texts, (Texts{p, p + add, p0, p0 + add}));
  EXPECT_EQ(Row(2).text, std::to_string(ports[2]));
  EXPECT_EQ(state_->udpPeerB->LocalPort(2), ports[2]);
  EXPECT_EQ(state_->ListView1.Count(), 3);
}

TEST_F(CommandsTest, PortLogonAndLogEditsAndDialogsClosedWithoutOk) {
  StartEntries(3);
  Select(1);
  int fresh;
  do fresh = FreeUdpPort();
  while (fresh % 2 != 0);   // even, so that the half goes down to it
  front_.values.push_back(std::to_string(fresh) + ".5");
  Form().ToolsPort();
  ASSERT_TRUE(Boxes().empty());
  EXPECT_EQ(Row(1).text, std::to_string(fresh));
  EXPECT_EQ(state_->udpPeerB->LocalPort(1), fresh);
  front_.values.push_back("70000");   // cannot be bound: the old socket stays
  Form().ToolsPort();
  OnlyBox(kConnectTitle);
  EXPECT_EQ(state_->udpPeerB->LocalPort(1), fresh);
  EXPECT_EQ(Row(1).text, std::to_string(fresh));

  front_.selects.push_back("True");
  Form().ToolsLogon();
  EXPECT_EQ(Row(1).sub[1], "True");
  EXPECT_EQ(Seen(2), "Modify Logon Check|Require Logon|False");
  EXPECT_EQ(front_.seen[2].items, (Texts{"True", "False"}));
  Form().ToolsPort();   // closed without OK: "True" is no port
  Form().ToolsLogon();
  EXPECT_EQ(state_->DialogResult, "True");
  EXPECT_EQ(Row(1).text, std::to_string(fresh));
  EXPECT_EQ(Row(1).sub[1], "True");
  EXPECT_EQ(Boxes().size(), 1u);

  // Log twice: the second dialog starts from the file chosen first.
  front_.files.push_back("/chosen/first.log");
  Form().ToolsLog();
  EXPECT_EQ(Row(1).sub[2], "/chosen/first.log");
  Select(2);
  Form().ToolsLog();   // cancelled
  EXPECT_EQ(front_.file_dialog_names, (Texts{logs[1], "/chosen/first.log"}));
  EXPECT_EQ(Row(2).sub[2], logs[2]);
}

TEST_F(CommandsTest, AddTakesTheLowestFreeNumberAndAppendsTheReducedLineOrKeepsTheRowWhenCancelled) {
  WriteEntries(3);
  ASSERT_TRUE(Start("maxcon=4"));
  ASSERT_TRUE(Boxes().empty());
  Select(2);
  Form().ToolsDelete();
  EXPECT_EQ(state_->ListView1.Find("con2"), nullptr);
  EXPECT_FALSE(state_->udpPeerB->IsLoaded(2));
  std::string before = ConfigText();   // still lists entry 2 until the next save
  EXPECT_THAT(before, HasSubstr(logs[2]));

  int port = FreeUdpPort();
  std::string db = NewDatabase("new.mdb");
  std::string full = "Provider=SQLite;User Password=pw;Data Source=" + db + ";Persist Security Info=False";
  front_.values.push_back(std::to_string(port));
  front_.data_links.push_back(full);
  front_.selects.push_back("False");
  front_.files.push_back(tmp_->File("new.log"));
  Form().ToolsAdd();
  ASSERT_TRUE(Boxes().empty());
  ASSERT_NE(state_->ListView1.Find("con2"), nullptr);
  std::string reduced = "Provider=SQLite;Data Source=" + db + ";";
  EXPECT_EQ(state_->Slot(2), full);
  EXPECT_EQ(Row(2).sub[0], reduced);
  EXPECT_EQ(front_.database_caption, "&Database " + reduced);
  EXPECT_EQ(state_->udpPeerB->LocalPort(2), port);
  EXPECT_EQ(ConfigText(), before + "Port=" + std::to_string(port) + ",Database=" + reduced +
                              ",Logon=False,Log=" + tmp_->File("new.log") + "\r\n");
  EXPECT_EQ(Seen(1), "Enter Logon Check|Require Logon|False");
  EXPECT_EQ(testkit::ReadFile(ProgramPath() + "/connections.old"), before);

  // Cancelled at the data-link dialog: the row and its socket stay, with the
  // defaults, and nothing is written.
  before = ConfigText();
  port = FreeUdpPort();
  front_.values.push_back(std::to_string(port));
  Form().ToolsAdd();
  ASSERT_NE(state_->ListView1.Find("con4"), nullptr);
  EXPECT_EQ(Row(4).sub[0], "Provider=Microsoft.Jet.OLEDB.3.51;Data Source=" + state_->DefaultProgramPath + "/test.mdb");
  EXPECT_EQ(Row(4).sub[2], ProgramPath() + "/Process.log");
  EXPECT_EQ(state_->udpPeerB->LocalPort(4), port);
  EXPECT_EQ(state_->Slot(4), "");
  EXPECT_EQ(ConfigText(), before);

  // Above the capacity (maxcon) the entry's settings are a database failure.
  front_.values.push_back(std::to_string(FreeUdpPort()));
  front_.data_links.push_back(Jet(db));
  Form().ToolsAdd();
  EXPECT_THAT(OnlyBox(kConnectTitle), HasSubstr("Error # 9:Subscript out of range occured for connection"));
  EXPECT_EQ(state_->udpPeerB->LocalPort(5), 0);   // closed again
  EXPECT_NE(state_->ListView1.Find("con5"), nullptr);
}

TEST_F(CommandsTest, DatabaseFailureMessageAndRestoredDatabaseReopensThePort) {
  int port = FreeUdpPort();
  std::string missing = tmp_->File("later.mdb");
  WriteConfig({Line(port, missing, "/l")});
  ASSERT_TRUE(Start());
  // The schema step failed at start-up: no socket, no file.
  const std::string on = " occured for connection to database Provider=Microsoft.Jet.OLEDB.3.51;Data Source=" +
                         missing + " on port " + std::to_string(port);
  const std::string text = OnlyBox(kConnectTitle);
  EXPECT_THAT(text, HasSubstr(on));
  EXPECT_THAT(text, HasSubstr("\r\nPort will be disabled until database connection is restored.\r\nBest "
                              "solution is to delete the connection to port "));
  EXPECT_FALSE(state_->udpPeerB->IsLoaded(1));
  EXPECT_FALSE(testkit::Exists(missing));
  Select(1);
  front_.data_links.push_back(Jet(tmp_->File("still-missing.mdb")));
  Form().ToolsDatabase();
  ASSERT_EQ(Boxes().size(), 2u);
  EXPECT_EQ(Boxes()[1].title, kConnectTitle);
  EXPECT_THAT(Boxes()[1].text, HasSubstr(on));
  testkit::Touch(missing);
  front_.data_links.push_back(Jet(missing));
  Form().ToolsDatabase();
  EXPECT_EQ(Boxes().size(), 2u);
  EXPECT_EQ(Row(1).sub[0], "Provider=Microsoft.Jet.OLEDB.3.51;Data Source=" + missing);
  EXPECT_EQ(state_->udpPeerB->LocalPort(1), port);
  // Each data-link dialog started from the entry's connection string as it was then.
  ASSERT_EQ(front_.data_link_currents.size(), 2u);
  EXPECT_EQ(front_.data_link_currents[1], Jet(tmp_->File("still-missing.mdb")));
}

TEST(ListenerSort, PortsSortAsTextWithOneFlippingOrder) {
  tallyhost::ConnectionList list;
  list.Add({"con1", "9000", {"d", "False", "/b"}});
  list.Add({"con2", "28000", {"d", "False", "/a"}});
  list.Add({"con3", "10000", {"d", "False", "/c"}});
  auto order = [&] {
    std::string texts;
    for (const auto& row : list.rows()) texts += row.text + " ";
    return texts;
  };
  list.SortByColumn(0);
  EXPECT_EQ(order(), "10000 28000 9000 ");
  list.SortByColumn(0);
  EXPECT_EQ(order(), "9000 28000 10000 ");
  list.SortByColumn(3);   // another column: the flipped order, ascending again
  EXPECT_EQ(order(), "28000 9000 10000 ");
  EXPECT_EQ(list.Find("con3")->text, "10000");
}

TEST_F(CommandsTest, ClosingStepsSaveInListOrderThenStoreTheSettings) {
  StartEntries(3);
  Form().ColumnClick(3);
  Form().ColumnClick(3);   // descending by log path
  front_.top = 20000;      // below the bottom of the screen
  front_.left = -300;
  front_.columns[2] = 1234.5;
  Form().ClosingSteps();
  std::string text = ConfigText();
  EXPECT_LT(text.find(logs[3]), text.find(logs[2]));
  EXPECT_LT(text.find(logs[2]), text.find(logs[1]));
  EXPECT_TRUE(testkit::Exists(ProgramPath() + "/connections.old"));
  EXPECT_EQ(tallyhost::ReadSetting("Tallyhost", "WindowTop"), "1440");
  EXPECT_EQ(tallyhost::ReadSetting("Tallyhost", "WindowLeft"), "-300");
  EXPECT_EQ(tallyhost::ReadSetting("Tallyhost", "Column(2)Width"), "1234.5");
}
