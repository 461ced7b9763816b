// The listener's text rules: the command line, number conversions,
// connection-string editing, reading and saving the connections file;
// settings and the program folder on the registry stand-in.
#include <gtest/gtest.h>

#include <filesystem>

#include "paths.h"
#include "com.h"
#include "connections_file.h"
#include "fault_env.h"
#include "listener_fixture.h"
#include "main_module.h"
#include "options.h"
#include "prog_path_module.h"
#include "registry.h"
#include "test_env.h"
#include "text_rules.h"
#include "textfile.h"

using namespace tallyhost;
using listenertest::FailureOf;
using ::testing::AllOf;
using ::testing::HasSubstr;

TEST(CommandLine, OptionsDefaultsAndLimits) {
  auto parsed = [](const std::string& text) {
    const CommandLine c = ParseCommandLine(text);
    return std::to_string(c.capacity) + " " + std::to_string(c.rawlog) + " " + c.connections_file +
           (c.headless ? " headless" : "");
  };
  EXPECT_EQ(parsed(""), "10 1 connections.cfg");
  EXPECT_EQ(parsed("maxcon=25 logout=0 cfgfile=Site2.CFG HEADLESS=1"), "25 0 site2.cfg headless");
  // A blank after the name leaves the default, no digits give 0, the name is found as a substring.
  for (auto [text, capacity] : {std::pair{"MAXCON=3", 3}, {"maxcon=0", 1}, {"maxcon=-5", 1}, {"maxcon= 5", 10},
                                {"maxcon=2.5", 2}, {"maxcon=3.5", 4}, {"maxcon=abc", 1}, {"xmaxcon=7", 7}})
    EXPECT_EQ(ParseCommandLine(text).capacity, capacity) << text;
  EXPECT_EQ(ParseCommandLine("cfgfile= x").connections_file, "connections.cfg");
  EXPECT_THROW(ParseCommandLine("maxcon=99999999999"), Failure);
  EXPECT_THROW(ParseCommandLine("logout=40000"), Failure);
  // Spool sizes in MiB unless K or G follows, seven digits at most; sync
  // pauses in milliseconds, six digits at most (0: every datagram).
  auto spool = [](const std::string& max, const std::string& sync) {
    SpoolOptions o;
    if (!ParseSpoolMax(max, &o) || !ParseSpoolSync(sync, &o)) return std::string("refused");
    return std::to_string(o.max_bytes) + " " + std::to_string(static_cast<int>(o.sync)) + " " +
           std::to_string(o.group_interval.count());
  };
  static_assert(static_cast<int>(SpoolSync::kSystem) == 0 && static_cast<int>(SpoolSync::kEvery) == 2);
  EXPECT_EQ(spool("2g", "EVERY"), "2147483648 2 200");
  EXPECT_EQ(spool("2048", "0"), "2147483648 2 0");
  EXPECT_EQ(spool("1234567k", "999999"), "1264196608 1 999999");
  EXPECT_EQ(spool("0M", "System"), "0 0 200");
  for (const auto& [max, sync] : {std::pair{"12345678", "1"}, {"1", "1234567"}, {"1.5", "1"}, {"-1", "1"},
                                  {"k", "1"}, {"", "1"}, {"1", ""}, {"1", "sometimes"}})
    EXPECT_EQ(spool(max, sync), "refused") << max << " " << sync;
}

TEST(TextRules, NumbersPrefixRoundingSingleAndFormat) {
  EXPECT_EQ(RoundToInt16(32767.4), 32767);   // both ends of the range belong
  EXPECT_EQ(RoundToInt16(-32768.5), -32768);
  EXPECT_EQ(FailureOf([] { RoundToInt16(32767.5); }), "6 Overflow");
  EXPECT_FLOAT_EQ(ParseSingle(" 1234.5 "), 1234.5f);
  EXPECT_THROW(ParseSingle("12abc"), Failure);
  EXPECT_EQ(FailureOf([] { ParseSingle("1e39"); }), "6 Overflow");
  EXPECT_EQ(FormatNumber(1.3 * 750), "975");
  EXPECT_EQ(FormatNumber(1.05 * 1234), "1295.7");
  EXPECT_EQ(FormatNumber(0), "0");
}

TEST(TextRules, ConnectionStringForms) {
  using Case = std::pair<std::string, std::string>;
  for (const auto& [in, out] : {Case{"Provider=J;Persist Security Info=False;Data Source=/p/test.mdb",
                                     "Provider=J;Data Source=/p/test.mdb"},
                                {"Provider=X;Data Source=a", "Provider=X;Data Source=a"},
                                {"Provider=X;Persist Security Info=True", "Provider=X;"}})
    EXPECT_EQ(DisplayForm(in), out);
  EXPECT_EQ(ReducedDatabaseText("Provider=SQLite;User Password=pw;Data Source=/d/x.db;Persist Security Info=False"),
            "Provider=SQLite;Data Source=/d/x.db;");
  EXPECT_EQ(DatabasePath("Provider=X;Data Source=/a/b.mdb;User ID=u"), "/a/b.mdb");
  EXPECT_EQ(DatabasePath("Provider=X;Data Source=/a/b.mdb"), "/a/b.mdb");
  EXPECT_EQ(DatabasePath("Provider=X"), "");

  // The logon test string: both settings go right after Persist Security
  // Info, the password first.
  const std::string psi = "Provider=P;Persist Security Info=False;";
  const struct { const char *in, *user, *password; std::string out; } logons[] = {
      {"Provider=P;Persist Security Info=False;Data Source=/d", "U", "W", psi + "User Password=W;User ID=U;Data Source=/d"},
      {"Provider=P;Data Source=/d", "", "", psi + "Data Source=/d"},
      {"Provider=P;User ID=old name;Data Source=/d", "new", "", psi + "User ID=new;Data Source=/d"},
      {"Provider=P;User ID=old;Data Source=/d", "", "", psi + "User ID=old;Data Source=/d"},
      {"Provider=P", "U", "W", psi + "User Password=W;User ID=U"},
      {"Provider=P", "", "W", psi + "User Password=W"}};
  for (const auto& c : logons) EXPECT_EQ(LogonTestString(c.in, c.user, c.password), c.out) << c.in;
}

TEST(ConnectionsFile, ReadingALine) {
  // Port|Database|Logon|Log as read, with the program folder /p.
  auto read = [](const std::string& line) {
    const EntryLine e = ParseEntryLine(line, "/p");
    return std::to_string(e.port) + "|" + e.connection_string + "|" + e.logon + "|" + e.log_path;
  };
  const std::string x = "|Provider=X;Data Source=/a|";
  const std::string defaults = "|Provider=Microsoft.Jet.OLEDB.3.51;Persist Security Info=False;"
                               "Data Source=/p/test.mdb|False|/p/Process.log";
  const std::pair<const char*, std::string> cases[] = {
      {"Port=28001,Database=Provider=X;Data Source=/a,Logon=True,Log=/l", "28001" + x + "True|/l"},
      {"Port=28001,Logon=True,Log=/l,Database=Provider=X;Data Source=/a", "28001" + x + "True|/l"},
      {"Port=28005", "28005" + defaults},
      {"", "28000" + defaults},
      {" Port=,Database=,Logon=,Log=", "0|||"},   // not the header
      {"Database=Provider=X;Data Source=/a,b.mdb", "28000" + x + "False|/p/Process.log"},
      {"Port=28000.5", "28000" + defaults},
      {"Port=28003.5", "28004" + defaults}};
  for (const auto& [line, fields] : cases) EXPECT_EQ(read(line), fields) << line;
  EXPECT_EQ(FailureOf([] { ParseEntryLine("Port=99999999999", "/p"); }), "6 Overflow");
  // A line written reads back as the fields it was written from.
  const std::string written = FormatEntryLine("28002", "Provider=X;Data Source=/a", "True", "/l");
  EXPECT_EQ(written, "Port=28002,Database=Provider=X;Data Source=/a,Logon=True,Log=/l");
  EXPECT_EQ(read(written), "28002" + x + "True|/l");
  // The file's lines end at CR LF, a lone LF or a lone CR; a last line needs
  // no end.
  using Lines = std::vector<std::string>;
  EXPECT_EQ(textfile::SplitLines("a\r\nb\nc\rd"), (Lines{"a", "b", "c", "d"}));
  EXPECT_EQ(textfile::SplitLines("a\r"), (Lines{"a"}));
  EXPECT_EQ(textfile::SplitLines("\r\n\n"), (Lines{"", ""}));
  EXPECT_EQ(textfile::SplitLines("\n\r"), (Lines{"", ""}));
  EXPECT_EQ(textfile::SplitLines(""), Lines{});
}

TEST(ConnectionsFile, SavingKeepsNonBlankLinesInTheBackupNamedAtTheLastDot) {
  EXPECT_EQ(BackupPath("/root/.local/share/tallyhost/conf"), "/root/.local/share/tallyhost/conf.old");
  EXPECT_EQ(BackupPath("/p/conf"), "/p/conf.old");
  testkit::TempDir tmp;
  std::string path = tmp.File("a/b/connections.cfg");
  SaveConnectionsFile(tmp.File("a/b"), path, {"Port=1"});   // creates the folder
  testkit::WriteFile(path, "Port=1\r\n\r\n   \r\nPort=2\nPort=3\r\n");
  SaveConnectionsFile(tmp.File("a/b"), path, {"Port=9", "Port=8"});
  EXPECT_EQ(testkit::ReadFile(tmp.File("a/b/connections.old")), "Port=1\r\nPort=2\r\nPort=3\r\n");
  EXPECT_EQ(testkit::ReadFile(path), "Port=9\r\nPort=8\r\n");
  SaveConnectionsFile(tmp.File("a/b"), path, {});
  EXPECT_EQ(testkit::ReadFile(path), "");
  // The new file cannot be written where a folder has its temporary name:
  // the old file stays whole.
  testkit::WriteFile(path, "Port=1\r\n");
  std::filesystem::create_directories(path + ".new/x");
  EXPECT_THROW(SaveConnectionsFile(tmp.path(), path, {"Port=2"}), Failure);
  EXPECT_EQ(testkit::ReadFile(path), "Port=1\r\n");
}

TEST(ConnectionsFile, AppendedLineStartsOnANewLineAndRootFolderSaves) {
  testkit::TempDir tmp;
  std::string path = tmp.File("connections.cfg");
  testkit::WriteFile(path, "Port=1,Log=/a");   // edited by hand: no line end
  AppendConnectionLine(path, "Port=2,Log=/b");
  EXPECT_EQ(testkit::ReadFile(path), "Port=1,Log=/a\r\nPort=2,Log=/b\r\n");
  testkit::WriteFile(path, "Port=1,Log=/a\r");   // a lone CR ends the line already
  AppendConnectionLine(path, "Port=2,Log=/b");
  EXPECT_EQ(testkit::ReadFile(path), "Port=1,Log=/a\rPort=2,Log=/b\r\n");
  // A library registered at the root gives the empty program path.
  SaveConnectionsFile("", path, {"Port=3"});
  EXPECT_EQ(testkit::ReadFile(path), "Port=3\r\n");
}

// Settings on the registry stand-in; the program folder lookup itself is the
// registry's (its own tests): the listener's part is the default folder and
// the failure a path without a folder gives.
TEST(Settings, MissingMarkerKeysEmptyValuesAndTheProgramFolder) {
  testkit::TempDir tmp;
  EXPECT_EQ(ReadSetting("Tallyhost", "WindowTop"), std::string(254, ' '));
  registry::HKEY k;
  EXPECT_EQ(registry::RegOpenKeyExA(registry::RootKey(registry::Hive::Users),
                                    ".Default\\Software\\Fragledger\\Tallyhost", registry::kKeyRead, &k),
            registry::kSuccess);
  WriteSetting("Tallyhost", "WindowTop", "1234.5");
  EXPECT_EQ(ReadSetting("Tallyhost", "WindowTop"), "1234.5");
  WriteSetting("Tallyhost", "Column(1)Width", "");
  EXPECT_EQ(ReadSetting("Tallyhost", "Column(1)Width"), "");
  EXPECT_EQ(paths::DefaultProgramFolder(), tmp.path() + "/data/tallyhost");
  com::RegisterClass("Tallycore.Score_Class", com::Guid{1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}}, "libtallycore.so");
  EXPECT_EQ(FailureOf([] { return LocateProgramFolder("Tallycore.Score_Class", "libtallycore.so", "/d"); }),
            "5 Invalid procedure call or argument");
}

// The disk fails while the file is saved: the file it replaces stays whole,
// no temporary file is left, and the error names the file and the reason.
TEST(ConnectionsFileFaults, ASaveThatCannotWriteOrReplaceLeavesTheOldFileWhole) {
  testkit::TempDir tmp;
  testkit::FaultEnv fs;
  const std::string path = tmp.File("connections.cfg");
  testkit::WriteFile(path, "Port=1\r\n");
  fs.FillDisk("connections.cfg.new");
  EXPECT_THAT(FailureOf([&] { SaveConnectionsFile(tmp.path(), path, {"Port=2"}); }),
              AllOf(HasSubstr(path + ".new"), HasSubstr("No space left on device")));
  EXPECT_EQ(testkit::ReadFile(path), "Port=1\r\n");
  EXPECT_FALSE(testkit::Exists(path + ".new"));
  fs.Clear();
  fs.FailRenames("connections.cfg");
  EXPECT_THAT(FailureOf([&] { SaveConnectionsFile(tmp.path(), path, {"Port=2"}); }), HasSubstr("Input/output error"));
  EXPECT_EQ(testkit::ReadFile(path), "Port=1\r\n");
  EXPECT_FALSE(testkit::Exists(path + ".new"));
  fs.Clear();
  SaveConnectionsFile(tmp.path(), path, {"Port=2"});
  EXPECT_EQ(testkit::ReadFile(path), "Port=2\r\n");
}
