// The processing pass end to end through Score_Class: the process log, the
// archive, the raw log, bad input, and the component model around it.
#include <filesystem>
#include <regex>

#include "datetime.h"
#include "engine_fixture.h"
#include "env.h"
#include "score_module.h"
#include "scoring.h"

namespace enginetest {
namespace {

class PassBase : public EngineTest {
 protected:
  const std::vector<uint8_t> small_ = ServerLog("Test").Build();   // no records
  // The process log's line `i` starts with `head`.
  void ExpectLine(size_t i, const std::string& head) {
    const Lines lines = LogLines();
    ASSERT_LT(i, lines.size());
    EXPECT_EQ(lines[i].rfind(head, 0), 0u) << lines[i];
  }
};
using PassTest = PassBase;   // the process log and connection failures: SQLite files
using PassOnEachBackend = OnEachBackend<PassBase>;
INSTANTIATE_ON_EACH_BACKEND(PassOnEachBackend);

TEST_F(PassTest, ProcessLogNumbersPassesKeepsLineFormatsAndContinuesAnExistingLog) {
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(Pass(small_).outcome.completed);
  ASSERT_EQ(LogLines().size(), 6u);
  std::regex started("Process# 3 STARTED \\d{4}-\\d\\d-\\d\\d( \\d\\d:\\d\\d:\\d\\d)?;ListenPort=28000;"
                     "ConnectedIPAddress=10\\.0\\.0\\.5;ConnectedPort=999;Database=Provider=SQLite;Data "
                     "Source=.*stats\\.db;Busy Timeout=50");
  EXPECT_TRUE(std::regex_match(LogLines()[4], started)) << LogLines()[4];
  ExpectLine(5, "Process# 3 COMPLETED ");
  std::string raw = testkit::ReadFile(LogPath());
  EXPECT_EQ(raw.substr(raw.size() - 2), "\r\n");

  // Numbering goes on from the last line of an existing log: a fraction rounds
  // half to even, the largest number leaves no next one, and a line cut short
  // by another program stays a line of its own.
  const std::pair<const char*, const char*> existing[] = {
      {"garbage\r\nProcess# 41 COMPLETED 2026-01-01 10:00:00;ListenPort=1\r\n", "Process# 42 STARTED "},
      {"Process# 7 STARTED x\r\nhand edited\n", "Process# 1 STARTED "},
      {"Process# 2.5 COMPLETED x\r\n", "Process# 3 STARTED "},
      {"Process# 3.5 COMPLETED x\r\n", "Process# 5 STARTED "},
      {"Process# 2147483646 COMPLETED x\r\n", "Process# 2147483647 STARTED "},
      {"Process# 2147483647 COMPLETED x\r\n", "Process# 1 STARTED "},
      {"Process# 9 STAR", "Process# 10 STARTED "}};
  for (const auto& [log, next] : existing) {
    testkit::WriteFile(LogPath(), log);
    Pass(small_);
    const Lines lines = LogLines();
    ASSERT_GE(lines.size(), 3u) << log;
    EXPECT_EQ(lines[lines.size() - 2].rfind(next, 0), 0u) << lines[lines.size() - 2];
  }
}

// A test Env fixes the time and the default folder; every stamp shows its time.
TEST_F(PassTest, StampsAndDefaultFolderComeFromTheEnv) {
  testkit::TestEnv env;
  env.SetLocalNow(datetime::FromParts(2031, 5, 6, 7, 8, 9));
  env.SetVariable("XDG_DATA_HOME", dir_->File("elsewhere"));
  options_.log_path = "";
  auto r = Pass(small_);
  ASSERT_FALSE(r.threw) << r.error;
  EXPECT_EQ(One("select Log_Date from Logs"), "2031-05-06 07:08:09");
  EXPECT_EQ(One("select Date_Time from Servers"), "2031-05-06 07:08:09");
  options_.log_path = dir_->File("elsewhere/tallyhost/Process.log");
  EXPECT_EQ(LogLines().size(), 2u);
  ExpectLine(0, "Process# 1 STARTED 2031-05-06 07:08:09;");
  ExpectLine(1, "Process# 1 COMPLETED 2031-05-06 07:08:09");
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
  for (const char* hidden : {"hunter2", "hunter3", "Persist"}) EXPECT_EQ(log.find(hidden), std::string::npos);
}

TEST_F(PassTest, LogPathsMissingFoldersAndNoSlash) {
  options_.log_path = dir_->File("newlogs/Process.log");   // a missing folder is created, one level deep
  EXPECT_FALSE(Pass(small_).threw);
  EXPECT_TRUE(testkit::Exists(LogPath()));
  EXPECT_TRUE(boxes_->shown().empty());
  // Two levels: not stored, and the caller may hand the datagram over again.
  options_.log_path = dir_->File("a/b/Process.log");
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
  const std::string text(bytes.begin(), bytes.end());
  options_.rawlog = -1;
  Pass(bytes);
  EXPECT_FALSE(testkit::Exists(dir_->File("logs/Logout.log")));
  options_.rawlog = 1;
  Pass(bytes);
  EXPECT_EQ(Table("select Record, Log_IP, Log_Port, Log_Data from Logs order by Record desc")[0],
            "2|10.0.0.5|999|" + text);
  EXPECT_EQ(testkit::ReadFile(dir_->File("logs/Logout.log")), text + "\r\n");
  Exec("insert into Logs(Record) values (57);");   // numbered from the largest Record
  Pass(small_);
  EXPECT_EQ(One("select max(Record) from Logs"), "58");

  // A raw log that cannot be written: nothing stored, the caller may hand it over again.
  std::filesystem::remove(dir_->File("logs/Logout.log"));
  std::filesystem::create_directory(dir_->File("logs/Logout.log"));
  EXPECT_TRUE(Pass(small_).outcome.deferred);
  EXPECT_EQ(Count("Logs"), 4);
}

TEST_P(PassOnEachBackend, CancelDuringTheArchiveEndsThePassWithoutCompletedLine) {
  auto lock = LockDatabase();
  boxes_->Push(msgbox::vbCancel);
  auto r = Pass(small_);
  lock->Release();
  EXPECT_TRUE(r.outcome.stopped);
  EXPECT_FALSE(r.outcome.completed);
  ASSERT_EQ(LogLines().size(), 1u);
  EXPECT_NE(LogLines()[0].find(" STARTED "), std::string::npos);
  EXPECT_EQ(Count("Logs"), 0);
}

// Property values and UDPData (one zero byte after a pass) are shared on the thread.
TEST_F(PassTest, ScoreClassIsCreatedBesideTheProgramAndSharesItsStateOnTheThread) {
  com::ComPtr<tallycore::_Score_Class> engine, second, none;
  for (auto* p : {&engine, &second})
    ASSERT_EQ(com::CoCreateInstance(tallycore::CLSID_Score_Class, tallycore::IID__Score_Class,
                                    reinterpret_cast<void**>(p->Receive()), tallycore::kLibraryName),
              com::S_OK);
  engine->put_ListenPort(4242);
  EXPECT_EQ(second->get_ListenPort(), 4242);
  Pass(small_);   // through an object of its own
  EXPECT_EQ(engine->get_UDPData(), std::vector<uint8_t>{0});
  std::string why;
  com::Guid other = tallycore::CLSID_Score_Class;
  other.d1 ^= 1;
  EXPECT_EQ(com::CoCreateInstance(other, tallycore::IID__Score_Class, reinterpret_cast<void**>(none.Receive()),
                                  "no-such-lib.so", &why),
            com::REGDB_E_CLASSNOTREG);
  EXPECT_FALSE(why.empty());
}

TEST_F(PassTest, BadConnectionsFailClearlyAndCreateNothing) {
  std::string missing = dir_->File("nothere/none.db");
  const struct { std::string cs; int32_t number; std::string error; } cases[] = {
      {"Provider=NoSuch.Provider;Data Source=" + db_path_, ado::kErrNoProvider,
       "Provider cannot be found. It may not be properly installed."},
      {"Provider=SQLite;Data Source=" + missing, ado::kErrProvider, "Could not find file '" + missing + "'."},
      {"", ado::kErrProvider, "The connection string is empty: it must name a Provider= and a Data Source=."},
  };
  for (const auto& c : cases) {
    auto r = RunPass(c.cs, small_, options_);
    EXPECT_TRUE(r.threw) << c.cs;
    EXPECT_EQ(r.error_number, c.number) << c.cs;
    EXPECT_EQ(r.error, c.error);
    EXPECT_EQ(r.outcome.failure, c.error);
    EXPECT_FALSE(r.outcome.completed) << c.cs;
  }
  EXPECT_FALSE(testkit::Exists(dir_->File("nothere")));
}

}  // namespace
}  // namespace enginetest
