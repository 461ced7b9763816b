// tallyfeed --replay-archive: random games stored live into SQLite and replayed
// into PostgreSQL or a fresh file give every table as stored live, dates included.
#include <signal.h>

#include <chrono>
#include <map>
#include <thread>

#include "engine_fixture.h"
#include "env.h"
#include "random_games.h"
#include "schema.h"

namespace enginetest {
namespace {

using Dump = std::map<std::string, Lines>;

class ReplayTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    live_ = db_path_;
    for (const SentDatagram& d : RandomGames(11, 4, 60)) {
      env::ProcessingTimeScope at(d.received);   // receipt and processing at one time, as live
      options_.ip = d.ip;
      options_.port = d.port;
      auto r = Pass(d.bytes);
      ASSERT_TRUE(r.outcome.completed) << r.error;
    }
    EXPECT_TRUE(boxes_->shown().empty());
    live_dump_ = DumpOf(Backend::Sqlite, live_);
    ASSERT_EQ(live_dump_["Logs"].size(), 240u);
    EXPECT_NE(live_dump_["Logs"][0].find("2026-12-01 20:00:01"), std::string::npos);   // the receipt time
    EXPECT_GT(live_dump_["Scores_0000003"].size(), 10u);
  }
  Dump DumpOf(Backend backend, const std::string& database) {
    backend_ = backend;
    db_path_ = database;
    Dump out;
    for (const auto& row : testkit::SqlRows(live_, "select name from sqlite_master where type='table'"))
      out[row[0]] = Table("select * from " + row[0] + " order by Record");
    backend_ = Backend::Sqlite;
    db_path_ = live_;
    return out;
  }
  std::vector<std::string> Args(const std::string& to) {
    return {testkit::BinaryFolder() + "/tallyfeed", "--replay-archive", "--log-path", dir_->File("replay.log"),
            ConnectionStringOf(live_), to};
  }
  // A replay into `to`; its exit status.
  int Replay(const std::string& to) { return testkit::Child(Args(to), dir_->File("replay.out")).Wait(); }
  std::string PostgresDatabase() {
    made_.push_back(testkit::PgServer::Shared().CreateDatabase("replay"));
    return made_.back();
  }
  std::string EmptyFile(const std::string& name) {
    testkit::Touch(dir_->File(name));
    return dir_->File(name);
  }

  std::string live_;
  Dump live_dump_;
};

TEST_F(ReplayTest, IntoPostgresAndIntoAFreshFileEveryTableEqualsTheLiveOne) {
  const std::string pg = PostgresDatabase(), file = EmptyFile("replayed.db");
  EXPECT_EQ(Replay(testkit::PgServer::Shared().ConnectionString(pg)), 0);
  EXPECT_EQ(Replay(ConnectionStringOf(file)), 0);
  Dump on_pg = DumpOf(Backend::Postgres, pg), on_file = DumpOf(Backend::Sqlite, file);
  EXPECT_GT(live_dump_.size(), 20u);
  for (const auto& [table, rows] : live_dump_) {
    EXPECT_EQ(on_pg[table], rows) << table;
    EXPECT_EQ(on_file[table], rows) << table;
  }
  // Run again: everything is done, nothing is added.
  EXPECT_EQ(Replay(ConnectionStringOf(file)), 0);
  EXPECT_EQ(DumpOf(Backend::Sqlite, file), live_dump_);
  // The last datagram received twice in its second: both copies are
  // replayed once, and a run after them finds nothing more to do.
  ASSERT_EQ(testkit::SqlExec(live_, "insert into Logs select 241, Log_IP, Log_Port, Log_Data, Log_Date from Logs "
                                    "where Record = 240"), 0);
  for (int run = 0; run < 2; ++run) EXPECT_EQ(Replay(ConnectionStringOf(file)), 0);
  EXPECT_EQ(testkit::SqlRows(file, "select count(*) from Logs")[0][0], "241");
  ASSERT_EQ(testkit::SqlExec(live_, "delete from Logs where Record = 241"), 0);

  // A row with a value the engine cannot read is reported, the rest replayed.
  ASSERT_EQ(testkit::SqlExec(live_, "update Logs set Log_Date = '2026-12-01 20:00:05.25' where Record = 5"), 0);
  const std::string second = EmptyFile("second.db");
  EXPECT_EQ(Replay(ConnectionStringOf(second)), 1);
  const std::string out = testkit::ReadFile(dir_->File("replay.out"));
  EXPECT_NE(out.find("source Record 5: its Log_Date cannot be read"), std::string::npos) << out;
  EXPECT_EQ(testkit::SqlRows(second, "select count(*) from Logs")[0][0], "239");
}

TEST_F(ReplayTest, InterruptedWithSigintAndStartedAgainStoresNothingTwice) {
  const std::string pg = PostgresDatabase();
  const std::string to = testkit::PgServer::Shared().ConnectionString(pg);
  testkit::Child replay(Args(to), dir_->File("replay.out"));
  // Interrupt once some rows are stored (polling, not timing).
  auto stored = [&] {
    auto& server = testkit::PgServer::Shared();
    if (testkit::PgRows(server, pg, "select count(*) from information_schema.tables where table_name = 'Logs'") !=
        Grid{{"1"}})
      return 0;
    return std::stoi(testkit::PgRows(server, pg, "select count(*) from Logs")[0][0]);
  };
  for (int i = 0; i < 20000 && stored() < 20; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  replay.Signal(SIGINT);
  EXPECT_EQ(replay.Wait(), 130);
  const int done = stored();
  EXPECT_LT(done, 240);
  EXPECT_GE(done, 20);
  EXPECT_EQ(Replay(to), 0);
  EXPECT_NE(testkit::ReadFile(dir_->File("replay.out")).find("(" + std::to_string(done) + " rows done before)"),
            std::string::npos);
  Dump whole = DumpOf(Backend::Postgres, pg);
  // Like a restarted listener, the new run links each server's first datagram to the open game.
  for (const auto& [table, rows] : live_dump_) {
    if (table == "Logs_Games") continue;
    EXPECT_EQ(whole[table], rows) << table;
  }
  EXPECT_GE(whole["Logs_Games"].size(), live_dump_["Logs_Games"].size());
  EXPECT_LE(whole["Logs_Games"].size(), live_dump_["Logs_Games"].size() + 4);

  // A target holding a datagram the source lacks is refused.
  const std::string other = EmptyFile("other.db");
  schema::CreateDatabaseTables(ConnectionStringOf(other));
  testkit::SqlExec(other, "insert into Logs values (1, '10.9.9.9', 1, x'00', '2000-01-01 00:00:00')");
  EXPECT_EQ(Replay(ConnectionStringOf(other)), 1);
  EXPECT_EQ(testkit::SqlRows(other, "select count(*) from Logs")[0][0], "1");
}

}  // namespace
}  // namespace enginetest
