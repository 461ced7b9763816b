// Reading and saving the connections file.
#include <gtest/gtest.h>

#include <filesystem>

#include "connections_file.h"
#include "text_rules.h"
#include "test_env.h"
#include "textfile.h"

using namespace tallyhost;

TEST(ConnectionsFile, FieldOrderIsFree) {
  EntryLine a = ParseEntryLine("Port=28001,Database=Provider=X;Data Source=/a,Logon=True,Log=/l",
                               "/p");
  EntryLine b = ParseEntryLine("Port=28001,Logon=True,Log=/l,Database=Provider=X;Data Source=/a",
                               "/p");
  EXPECT_EQ(a.port, b.port);
  EXPECT_EQ(a.connection_string, b.connection_string);
  EXPECT_EQ(a.logon, b.logon);
  EXPECT_EQ(a.log_path, b.log_path);
  EXPECT_EQ(a.log_path, "/l");
  EXPECT_EQ(a.logon, "True");
}

TEST(ConnectionsFile, MissingFieldsTakeDefaults) {
  EntryLine e = ParseEntryLine("Port=28005", "/p");
  EXPECT_EQ(e.port, 28005);
  EXPECT_EQ(e.connection_string,
            "Provider=Microsoft.Jet.OLEDB.3.51;Persist Security Info=False;Data Source=/p/test.mdb");
  EXPECT_EQ(e.logon, "False");
  EXPECT_EQ(e.log_path, "/p/Process.log");
  EntryLine blank = ParseEntryLine("", "/p");
  EXPECT_EQ(blank.port, 28000);
}

TEST(ConnectionsFile, HeaderWithABlankInFrontIsAnEntry) {
  EntryLine e = ParseEntryLine(" Port=,Database=,Logon=,Log=", "/p");
  EXPECT_EQ(e.port, 0);
  EXPECT_EQ(e.connection_string, "");
  EXPECT_EQ(e.logon, "");
  EXPECT_EQ(e.log_path, "");
}

TEST(ConnectionsFile, CommaCutsAndHalvesGoToEven) {
  EXPECT_EQ(ParseEntryLine("Database=Provider=X;Data Source=/a,b.mdb,Port=1", "/p")
                .connection_string,
            "Provider=X;Data Source=/a");
  EXPECT_EQ(ParseEntryLine("Port=28000.5", "/p").port, 28000);
  EXPECT_EQ(ParseEntryLine("Port=28003.5", "/p").port, 28004);
  EXPECT_THROW(ParseEntryLine("Port=99999999999", "/p"), Failure);
}

TEST(ConnectionsFile, BackupIsNamedAtTheLastDot) {
  EXPECT_EQ(BackupPath("/p/connections.cfg"), "/p/connections.old");
  EXPECT_EQ(BackupPath("/p/site.d/conf"), "/p/site.old");
  EXPECT_EQ(BackupPath("/p/conf"), "/p/conf.old");
}

TEST(ConnectionsFile, SaveKeepsNonBlankLinesInTheBackup) {
  testkit::TempDir tmp;
  std::string path = tmp.File("connections.cfg");
  testkit::WriteFile(path, "Port=1\r\n\r\n   \r\nPort=2\nPort=3\r\n");
  SaveConnectionsFile(tmp.path(), path, {"Port=9", "Port=8"});
  EXPECT_EQ(testkit::ReadFile(tmp.File("connections.old")), "Port=1\r\nPort=2\r\nPort=3\r\n");
  EXPECT_EQ(testkit::ReadFile(path), "Port=9\r\nPort=8\r\n");
  SaveConnectionsFile(tmp.path(), path, {});
  EXPECT_EQ(testkit::ReadFile(path), "");
}

TEST(ConnectionsFile, SaveCreatesTheFolder) {
  testkit::TempDir tmp;
  std::string folder = tmp.File("a/b");
  SaveConnectionsFile(folder, folder + "/c.cfg", {"Port=1"});
  EXPECT_EQ(testkit::ReadFile(folder + "/c.cfg"), "Port=1\r\n");
}

TEST(ConnectionsFile, FailedSaveLeavesTheFileWhole) {
  testkit::TempDir tmp;
  std::string path = tmp.File("connections.cfg");
  testkit::WriteFile(path, "Port=1\r\n");
  // The temporary file cannot be created where a folder has its name.
  std::filesystem::create_directories(path + ".new/x");
  EXPECT_THROW(SaveConnectionsFile(tmp.path(), path, {"Port=2"}), Failure);
  EXPECT_EQ(testkit::ReadFile(path), "Port=1\r\n");
}
