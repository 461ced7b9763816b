// The processing pass end to end through Score_Class: the process log,
// the archive, the raw log, and bad input.
#include <regex>

#include "engine_fixture.h"
#include "score_module.h"
#include "textfile.h"

namespace enginetest {
namespace {

// A datagram with no records; the parsing phases find its server variables.
std::vector<uint8_t> SmallDatagram() {
  std::string s(20, '\0');
  s[7] = 1;
  s += "hostname \"Test\"\n$HOST_IP$ \"1.2.3.4\"\nport \"27910\"\n";
  s += '\0';
  return Bytes(s);
}

class PassTest : public EngineTest {};

TEST_F(PassTest, ProcessLogNumbersPassesAndKeepsLineFormats) {
  for (int i = 0; i < 3; ++i) {
    auto r = Pass(SmallDatagram());
    ASSERT_FALSE(r.threw) << r.error;
    EXPECT_TRUE(r.outcome.completed);
  }
  auto lines = textfile::ReadLines(LogPath());
  ASSERT_TRUE(lines);
  ASSERT_EQ(lines->size(), 6u);
  std::regex started(
      "Process# 3 STARTED \\d{4}-\\d\\d-\\d\\d( \\d\\d:\\d\\d:\\d\\d)?;ListenPort=28000;"
      "ConnectedIPAddress=10\\.0\\.0\\.5;ConnectedPort=999;Database=Provider=SQLite;Data "
      "Source=.*stats\\.db;Busy Timeout=50");
  EXPECT_TRUE(std::regex_match((*lines)[4], started)) << (*lines)[4];
  EXPECT_EQ((*lines)[5].rfind("Process# 3 COMPLETED ", 0), 0u);
  std::string raw = testkit::ReadFile(LogPath());
  EXPECT_EQ(raw.substr(raw.size() - 2), "\r\n");
}

TEST_F(PassTest, NumberingContinuesFromTheLastLineOfAnExistingLog) {
  textfile::CreateDirectory(dir_->File("logs"));
  testkit::WriteFile(LogPath(), "garbage\r\nProcess# 41 COMPLETED 2026-01-01 10:00:00;ListenPort=1\r\n");
  Pass(SmallDatagram());
  auto lines = textfile::ReadLines(LogPath());
  EXPECT_EQ((*lines)[2].rfind("Process# 42 STARTED ", 0), 0u) << (*lines)[2];

  testkit::WriteFile(LogPath(), "Process# 7 STARTED x\r\nhand edited\n");
  Pass(SmallDatagram());
  lines = textfile::ReadLines(LogPath());
  EXPECT_EQ((*lines)[2].rfind("Process# 1 STARTED ", 0), 0u) << (*lines)[2];
}

TEST_F(PassTest, LoggedConnectionStringDropsPasswordAndPersistSegments) {
  using tallycore::MakeLoggedConnectionString;
  EXPECT_EQ(MakeLoggedConnectionString("Provider=X;User Password=secret;Data Source=a.db"),
            "Provider=X;Data Source=a.db");
  EXPECT_EQ(MakeLoggedConnectionString("Provider=X;Data Source=a.db;User Password=secret"),
            "Provider=X;Data Source=a.db;");
  EXPECT_EQ(MakeLoggedConnectionString(
                "Provider=X;Persist Security Info=False;User ID=u;User Password=p;Data Source=d"),
            "Provider=X;User ID=u;Data Source=d");
  EXPECT_EQ(MakeLoggedConnectionString("Provider=X;Data Source=d"), "Provider=X;Data Source=d");

  extra_settings_ = ";User Password=hunter2;Persist Security Info=False";
  Pass(SmallDatagram());
  std::string log = testkit::ReadFile(LogPath());
  EXPECT_EQ(log.find("hunter2"), std::string::npos);
  EXPECT_EQ(log.find("Persist"), std::string::npos);
}

TEST_F(PassTest, MissingLogFolderIsCreatedOneLevelDeep) {
  options_.log_path = dir_->File("newlogs/Process.log");
  EXPECT_FALSE(Pass(SmallDatagram()).threw);
  EXPECT_TRUE(textfile::FileExists(LogPath()));

  options_.log_path = dir_->File("a/b/Process.log");
  auto r = Pass(SmallDatagram());
  auto shown = boxes_->shown();
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0].title, "Error: Can not locate Log Path");
  EXPECT_EQ(Count("Logs"), 1);   // the second datagram was not stored
}

TEST_F(PassTest, LogPathWithoutSlashShowsTheMessageAndTouchesNoDatabase) {
  options_.log_path = "Process.log";
  db_path_ = dir_->File("missing.db");   // opening it would fail
  auto r = Pass(SmallDatagram());
  EXPECT_FALSE(r.threw) << r.error;
  auto shown = boxes_->shown();
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0].title, "Error: Can not locate Log Path");
  EXPECT_EQ(shown[0].text,
            "Can't locate path to log Process.log.\r\nSelect a new log path...it that doesn't work "
            "then email " + std::string(tallycore::kSupportAddress) + "\r\nProgram is terminating.");
  EXPECT_FALSE(testkit::Exists(db_path_));
}

TEST_F(PassTest, EmptyLogPathTakesTheDefaultProgramFolderAndKeepsIt) {
  options_.log_path = "";
  ASSERT_FALSE(Pass(SmallDatagram()).threw);
  std::string expected = dir_->path() + "/data/tallyhost/Process.log";
  EXPECT_TRUE(textfile::FileExists(expected));
}

TEST_F(PassTest, ArchiveStoresEveryByteAndRawLogOnlyWhenRawlogIsOne) {
  std::vector<uint8_t> bytes = SmallDatagram();
  for (int b = 0; b < 256; ++b) bytes.push_back(static_cast<uint8_t>(b));
  options_.rawlog = -1;
  Pass(bytes);
  EXPECT_FALSE(testkit::Exists(dir_->File("logs/Logout.log")));
  options_.rawlog = 1;
  Pass(bytes);
  auto rows = Rows("select Record, Log_IP, Log_Port, Log_Data from Logs order by Record");
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[1][0], "2");
  EXPECT_EQ(rows[1][1], "10.0.0.5");
  EXPECT_EQ(rows[1][2], "999");
  EXPECT_EQ(rows[1][3], std::string(bytes.begin(), bytes.end()));
  EXPECT_EQ(testkit::ReadFile(dir_->File("logs/Logout.log")),
            std::string(bytes.begin(), bytes.end()) + "\r\n");
}

TEST_F(PassTest, ArchiveNumbersFromTheLargestRecord) {
  Rows("select 1");   // the database is ready
  {
    sqlite3* db;
    sqlite3_open(db_path_.c_str(), &db);
    sqlite3_exec(db, "insert into Logs(Record) values (3); insert into Logs(Record) values (57);",
                 nullptr, nullptr, nullptr);
    sqlite3_close(db);
  }
  Pass(SmallDatagram());
  auto rows = Rows("select max(Record) from Logs");
  EXPECT_EQ(rows[0][0], "58");
}

TEST_F(PassTest, ArchiveLockAnswersNoGoesOnWithoutTheRow) {
  WriteLock lock(db_path_);
  boxes_->Push(msgbox::vbNo);
  boxes_->OnShow([&](const std::string&) { lock.Release(); });
  auto r = Pass(SmallDatagram());
  EXPECT_FALSE(r.threw) << r.error;
  EXPECT_TRUE(r.outcome.completed);
  EXPECT_EQ(Count("Logs"), 0);
  EXPECT_EQ(Count("Servers"), 1);   // the datagram was still read
  ASSERT_EQ(boxes_->shown().size(), 1u);
  EXPECT_EQ(boxes_->shown()[0].title, "Record is Locked");
}

TEST_F(PassTest, CancelDuringTheArchiveEndsThePassWithoutCompletedLine) {
  WriteLock lock(db_path_);
  boxes_->Push(msgbox::vbCancel);
  auto r = Pass(SmallDatagram());
  lock.Release();
  EXPECT_TRUE(r.outcome.stopped);
  EXPECT_FALSE(r.outcome.completed);
  auto lines = textfile::ReadLines(LogPath());
  ASSERT_EQ(lines->size(), 1u);
  EXPECT_NE((*lines)[0].find(" STARTED "), std::string::npos);
  EXPECT_EQ(Count("Logs"), 0);
  // The next pass numbers itself after the stopped one.
  Pass(SmallDatagram());
  lines = textfile::ReadLines(LogPath());
  EXPECT_EQ((*lines)[1].rfind("Process# 2 STARTED ", 0), 0u);
}

TEST_F(PassTest, UdpDataReadsBackAsOneZeroByteAfterThePass) {
  // Pass() drops its object; UDPData is engine state shared on the thread.
  com::ComPtr<tallycore::_Score_Class> engine;
  ASSERT_EQ(com::CoCreateInstance(tallycore::CLSID_Score_Class, tallycore::IID__Score_Class,
                                  reinterpret_cast<void**>(engine.Receive()),
                                  tallycore::kLibraryName),
            com::S_OK);
  Pass(SmallDatagram());
  EXPECT_EQ(engine->get_UDPData(), std::vector<uint8_t>{0});
}

TEST_F(PassTest, BadConnectionsFailClearlyAndCreateNothing) {
  std::string missing = dir_->File("nothere/none.db");
  std::string text_file = dir_->File("notes.txt");
  testkit::WriteFile(text_file, std::string(4096, 'x'));
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"unknown provider", "Provider=NoSuch.Provider;Data Source=" + db_path_},
      {"missing file", "Provider=SQLite;Data Source=" + missing},
      {"not a database", "Provider=SQLite;Data Source=" + text_file},
      {"empty", ""},
  };
  for (const auto& [name, cs] : cases) {
    auto r = RunPass(cs, SmallDatagram(), options_);
    EXPECT_TRUE(r.threw) << name;
    EXPECT_FALSE(r.error.empty()) << name;
    EXPECT_FALSE(r.outcome.completed) << name;
  }
  EXPECT_FALSE(testkit::Exists(missing));
  EXPECT_FALSE(testkit::Exists(dir_->File("nothere")));
  EXPECT_EQ(testkit::ReadFile(text_file), std::string(4096, 'x'));
}

TEST_F(PassTest, EmptyAndOneByteDatagramsAreArchivedThenFailClearly) {
  for (auto bytes : {std::vector<uint8_t>{}, std::vector<uint8_t>{0x41}}) {
    auto r = Pass(bytes);
    EXPECT_TRUE(r.threw);
    EXPECT_FALSE(r.error.empty());
  }
  EXPECT_EQ(Count("Logs"), 2);
}

}  // namespace
}  // namespace enginetest
