// The processing pass end to end through Score_Class: the process log,
// the archive, the raw log, and bad input.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>

#include "datetime.h"
#include "engine_fixture.h"
#include "env.h"
#include "score_module.h"
#include "scoring.h"
#include "textfile.h"

namespace enginetest {
namespace {

class PassBase : public EngineTest {
 protected:
  const std::vector<uint8_t> small_ = ServerLog("Test").Build();   // no records
};
using PassTest = PassBase;   // the process log and connection failures: SQLite files
using PassOnEachBackend = OnEachBackend<PassBase>;
INSTANTIATE_ON_EACH_BACKEND(PassOnEachBackend);

TEST_F(PassTest, ProcessLogNumbersPassesKeepsLineFormatsAndContinuesAnExistingLog) {
  for (int i = 0; i < 3; ++i) {
    auto r = Pass(small_);
    ASSERT_FALSE(r.threw) << r.error;
    EXPECT_TRUE(r.outcome.completed);
  }
  auto lines = textfile::ReadLines(LogPath());
  ASSERT_TRUE(lines);
  ASSERT_EQ(lines->size(), 6u);
  std::regex started("Process# 3 STARTED \\d{4}-\\d\\d-\\d\\d( \\d\\d:\\d\\d:\\d\\d)?;ListenPort=28000;"
                     "ConnectedIPAddress=10\\.0\\.0\\.5;ConnectedPort=999;Database=Provider=SQLite;Data "
                     "Source=.*stats\\.db;Busy Timeout=50");
  EXPECT_TRUE(std::regex_match((*lines)[4], started)) << (*lines)[4];
  EXPECT_EQ((*lines)[5].rfind("Process# 3 COMPLETED ", 0), 0u);
  std::string raw = testkit::ReadFile(LogPath());
  EXPECT_EQ(raw.substr(raw.size() - 2), "\r\n");

  // Numbering continues from the last line of an existing log.
  testkit::WriteFile(LogPath(), "garbage\r\nProcess# 41 COMPLETED 2026-01-01 10:00:00;ListenPort=1\r\n");
  Pass(small_);
  lines = textfile::ReadLines(LogPath());
  EXPECT_EQ((*lines)[2].rfind("Process# 42 STARTED ", 0), 0u) << (*lines)[2];

  testkit::WriteFile(LogPath(), "Process# 7 STARTED x\r\nhand edited\n");
  Pass(small_);
  lines = textfile::ReadLines(LogPath());
  EXPECT_EQ((*lines)[2].rfind("Process# 1 STARTED ", 0), 0u) << (*lines)[2];

  // The log renamed away between passes (rotated): the next pass starts a
  // new file at the path and leaves the old one alone.
  const std::string rotated = LogPath() + ".1";
  ASSERT_EQ(std::rename(LogPath().c_str(), rotated.c_str()), 0);
  const std::string before = testkit::ReadFile(rotated);
  Pass(small_);
  EXPECT_EQ(testkit::ReadFile(rotated), before);
  lines = textfile::ReadLines(LogPath());
  ASSERT_EQ(lines->size(), 2u);
  EXPECT_EQ((*lines)[0].rfind("Process# 1 STARTED ", 0), 0u) << (*lines)[0];

  // Another program appends a line cut short: the next pass numbers on
  // from it and starts a line of its own.
  { std::ofstream(LogPath(), std::ios::binary | std::ios::app) << "Process# 9 STAR"; }
  Pass(small_);
  lines = textfile::ReadLines(LogPath());
  ASSERT_EQ(lines->size(), 5u);
  EXPECT_EQ((*lines)[2], "Process# 9 STAR");
  EXPECT_EQ((*lines)[3].rfind("Process# 10 STARTED ", 0), 0u) << (*lines)[3];

  // A fraction rounds half to even; the largest number leaves no next one
  // and counts as none.
  for (auto [last, next] : {std::pair{"2.5", "3"}, {"3.5", "5"}, {"2147483646", "2147483647"},
                            {"2147483647", "1"}}) {
    testkit::WriteFile(LogPath(), std::string("Process# ") + last + " COMPLETED x\r\n");
    Pass(small_);
    lines = textfile::ReadLines(LogPath());
    EXPECT_EQ((*lines)[1].rfind(std::string("Process# ") + next + " STARTED ", 0), 0u) << (*lines)[1];
  }
}

// The pass takes the time and the default folder from the Env: a test Env
// fixes both, and every stamp of the pass shows its time.
TEST_F(PassTest, StampsAndDefaultFolderComeFromTheEnv) {
  testkit::TestEnv env;
  env.SetLocalNow(datetime::FromParts(2031, 5, 6, 7, 8, 9));
  env.SetVariable("XDG_DATA_HOME", dir_->File("elsewhere"));
  options_.log_path = "";
  auto r = Pass(small_);
  ASSERT_FALSE(r.threw) << r.error;
  EXPECT_EQ(One("select Log_Date from Logs"), "2031-05-06 07:08:09");
  EXPECT_EQ(One("select Date_Time from Servers"), "2031-05-06 07:08:09");
  auto lines = textfile::ReadLines(dir_->File("elsewhere/tallyhost/Process.log"));
  ASSERT_TRUE(lines && lines->size() == 2);
  EXPECT_EQ((*lines)[0].rfind("Process# 1 STARTED 2031-05-06 07:08:09;", 0), 0u) << (*lines)[0];
  EXPECT_EQ((*lines)[1].rfind("Process# 1 COMPLETED 2031-05-06 07:08:09", 0), 0u) << (*lines)[1];
  {
    env::ProcessingTimeScope received(datetime::FromParts(2030, 1, 2, 3, 4, 5));   // nests above it
    EXPECT_EQ(datetime::FormatFull(datetime::Now()), "2030-01-02 03:04:05");
  }
  EXPECT_EQ(datetime::FormatFull(datetime::Now()), "2031-05-06 07:08:09");
}

TEST_F(PassTest, LoggedConnectionStringDropsPasswordAndPersistSegments) {
  for (auto [in, out] : {std::pair{"Provider=X;User Password=secret;Data Source=a.db", "Provider=X;Data Source=a.db"},
                         {"Provider=X;Data Source=a.db;User Password=secret", "Provider=X;Data Source=a.db;"},
                         {"Provider=X;Persist Security Info=False;User ID=u;User Password=p;Data Source=d",
                          "Provider=X;User ID=u;Data Source=d"},
                         {"Provider=X;Data Source=d", "Provider=X;Data Source=d"},
                         // Passwords the providers take in other spellings go too.
                         {"Provider=X;Data Source=d;User ID=u;Password=s2;Mode=Read", "Provider=X;Data Source=d;User ID=u;Mode=Read"},
                         {"Provider=X; user password = s3 ;Data Source=d;PASSWORD='a;b'", "Provider=X;Data Source=d;"},
                         {"Password=s4", ""}})
    EXPECT_EQ(tallycore::MakeLoggedConnectionString(in), out);

  extra_settings_ = ";User Password=hunter2;Persist Security Info=False; password =hunter3";
  Pass(small_);
  std::string log = testkit::ReadFile(LogPath());
  EXPECT_EQ(log.find("hunter2"), std::string::npos);
  EXPECT_EQ(log.find("hunter3"), std::string::npos);
  EXPECT_EQ(log.find("Persist"), std::string::npos);
}

// The default folder's log: StampsAndDefaultFolderComeFromTheEnv.
TEST_F(PassTest, LogPathsMissingFoldersAndNoSlash) {
  options_.log_path = dir_->File("newlogs/Process.log");   // a missing folder is created, one level deep
  EXPECT_FALSE(Pass(small_).threw);
  EXPECT_TRUE(textfile::FileExists(LogPath()));
  EXPECT_TRUE(boxes_->shown().empty());
  options_.log_path = dir_->File("a/b/Process.log");
  // Not stored, and the caller learns that it may hand the datagram over
  // again once the log can be written.
  EXPECT_TRUE(Pass(small_).outcome.deferred);
  EXPECT_EQ(Count("Logs"), 1);

  options_.log_path = "Process.log";
  db_path_ = dir_->File("missing.db");   // opening it would fail
  auto r = Pass(small_);
  EXPECT_FALSE(r.threw) << r.error;
  auto shown = boxes_->shown();
  ASSERT_EQ(shown.size(), 2u);
  for (const auto& box : shown) EXPECT_EQ(box.title, "Error: Can not locate Log Path");
  EXPECT_EQ(shown[1].text,
            "Can't locate path to log Process.log.\r\nSelect a new log path...it that doesn't work "
            "then email " + std::string(tallycore::kSupportAddress) + "\r\nProgram is terminating.");
  EXPECT_FALSE(testkit::Exists(db_path_));
}

TEST_P(PassOnEachBackend, ArchiveStoresEveryByteNumbersFromTheLargestRecordRawLogOnlyWhenOne) {
  std::vector<uint8_t> bytes = small_;
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
  Exec("insert into Logs(Record) values (57);");   // numbered from the largest Record
  Pass(small_);
  EXPECT_EQ(One("select max(Record) from Logs"), "58");

  // A raw log that cannot be written: nothing of the datagram is stored, and
  // the caller may hand it over again.
  std::filesystem::remove(dir_->File("logs/Logout.log"));
  std::filesystem::create_directory(dir_->File("logs/Logout.log"));
  EXPECT_TRUE(Pass(small_).outcome.deferred);
  EXPECT_EQ(One("select count(*) from Logs"), "4");   // as before it
}

TEST_P(PassOnEachBackend, CancelDuringTheArchiveEndsThePassWithoutCompletedLine) {
  auto lock = LockDatabase();
  boxes_->Push(msgbox::vbCancel);
  auto r = Pass(small_);
  lock->Release();
  EXPECT_TRUE(r.outcome.stopped);
  EXPECT_FALSE(r.outcome.completed);
  auto lines = textfile::ReadLines(LogPath());
  ASSERT_EQ(lines->size(), 1u);
  EXPECT_NE((*lines)[0].find(" STARTED "), std::string::npos);
  EXPECT_EQ(Count("Logs"), 0);
}

TEST_P(PassOnEachBackend, UdpDataReadsBackAsOneZeroByteAfterThePass) {
  // Pass() drops its object; UDPData is engine state shared on the thread.
  com::ComPtr<tallycore::_Score_Class> engine;
  ASSERT_EQ(com::CoCreateInstance(tallycore::CLSID_Score_Class, tallycore::IID__Score_Class,
                                  reinterpret_cast<void**>(engine.Receive()),
                                  tallycore::kLibraryName),
            com::S_OK);
  Pass(small_);
  EXPECT_EQ(engine->get_UDPData(), std::vector<uint8_t>{0});
}

TEST_F(PassTest, BadConnectionsAndTinyDatagramsFailClearlyAndCreateNothing) {
  std::string missing = dir_->File("nothere/none.db");
  std::string text_file = dir_->File("notes.txt");
  testkit::WriteFile(text_file, std::string(4096, 'x'));
  const struct { std::string cs; int32_t number; std::string error; } cases[] = {
      {"Provider=NoSuch.Provider;Data Source=" + db_path_, ado::kErrNoProvider,
       "Provider cannot be found. It may not be properly installed."},
      {"Provider=SQLite;Data Source=" + missing, ado::kErrProvider,
       "Could not find file '" + missing + "'."},
      {"Provider=SQLite;Data Source=" + text_file, ado::kErrProvider,
       "Unrecognized database format '" + text_file + "'."},
      {"", ado::kErrProvider,
       "The connection string is empty: it must name a Provider= and a Data Source=."},
  };
  for (const auto& c : cases) {
    auto r = RunPass(c.cs, small_, options_);
    EXPECT_TRUE(r.threw) << c.cs;
    EXPECT_EQ(r.error_number, c.number) << c.cs;
    EXPECT_EQ(r.error, c.error);
    EXPECT_EQ(r.outcome.failure, c.error);
    EXPECT_FALSE(r.outcome.completed) << c.cs;
  }
  EXPECT_FALSE(testkit::Exists(missing));
  EXPECT_FALSE(testkit::Exists(dir_->File("nothere")));
  EXPECT_EQ(testkit::ReadFile(text_file), std::string(4096, 'x'));
  // Empty and one-byte datagrams are archived, then fail clearly.
  for (auto bytes : {std::vector<uint8_t>{}, std::vector<uint8_t>{0x41}}) {
    auto r = Pass(bytes);
    EXPECT_TRUE(r.threw);
    EXPECT_EQ(r.error_number, tallycore::kErrMalformedDatagram);
    EXPECT_EQ(r.error, "Malformed datagram: " + std::to_string(bytes.size()) +
                           " bytes, shorter than its 20-byte header.");
  }
  EXPECT_EQ(Count("Logs"), 2);
}

}  // namespace
}  // namespace enginetest
