// Passes into PostgreSQL when the server drops the connection or crashes:
// a clear error reaches the caller and the status, nothing crashes, nothing
// of the datagram is stored, and the next pass connects afresh. (Settings
// the server refuses fail the open alike on every provider: AdoPostgres
// and PassTest.)
#include <atomic>
#include <chrono>
#include <thread>

#include "engine_fixture.h"
#include "schema.h"

namespace enginetest {
namespace {

class PostgresPass : public EngineTest {
 protected:
  void SetUp() override {
    backend_ = Backend::Postgres;
    EngineTest::SetUp();
  }
  testkit::PgServer& server() { return testkit::PgServer::Shared(); }
};

TEST_F(PostgresPass, ServerDroppingTheConnectionMidPassGivesAClearErrorAndTheNextPassReconnects) {
  extra_settings_ = ";Busy Timeout=20000";
  auto d = ServerLog("Alpha");
  d.records = {Keyword("PlayerConnect", "Ann", "Red", "1")};
  ASSERT_FALSE(Pass(d).threw);
  // The engine waits at a lock on Players; the server then ends its session.
  auto lock = LockDatabase();
  std::atomic<bool> dropped{false};
  std::thread dropper([&] {
    for (int i = 0; i < 20000 && !dropped; ++i) {
      auto rows = testkit::PgRows(server(), "postgres",
                                  "select pid from pg_stat_activity where datname = '" + db_path_ +
                                      "' and wait_event_type = 'Lock'");
      if (!rows.empty()) {
        testkit::PgExec(server(), "postgres", "select pg_terminate_backend(" + rows[0][0] + ")");
        dropped = true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  });
  d.packet_number = 2;
  d.records = {Keyword("PlayerConnect", "Bob", "Blue", "2"), Score("Bob", "Ann", "Kill", "Rail", "1", "5")};
  auto r = Pass(d);
  dropper.join();
  lock->Release();
  ASSERT_TRUE(dropped);
  // Nothing of the datagram is stored; the caller learns why and that it
  // may hand the datagram over again.
  EXPECT_TRUE(r.threw);
  EXPECT_TRUE(r.outcome.deferred);
  EXPECT_FALSE(r.outcome.completed);
  EXPECT_NE(r.error.find("The connection to the PostgreSQL server was lost"), std::string::npos) << r.error;
  EXPECT_EQ(r.error.find("locked by another"), std::string::npos) << r.error;
  EXPECT_TRUE(boxes_->shown().empty());
  EXPECT_EQ(Count("Logs"), 1);
  EXPECT_EQ(Table("SELECT Player FROM Players ORDER BY Record"), (std::vector<std::string>{"Ann"}));

  // Handed over again, it connects afresh and stores the datagram once.
  r = Pass(d);
  ASSERT_FALSE(r.threw) << r.error;
  EXPECT_TRUE(r.outcome.completed);
  EXPECT_EQ(Count("Logs"), 2);
  EXPECT_EQ(Table("SELECT Player FROM Players ORDER BY Record"), (std::vector<std::string>{"Ann", "Bob"}));
  EXPECT_EQ(Count("Scores_0000001"), 3);   // Ann's connection, then Bob's and his score, once
}

// The server commits, then the connection is lost before its answer arrives
// (here: a commit waiting for a standby that never comes, its session ended
// by the administrator; the server says the transaction "has already
// committed locally"). The pass asks the server how its transaction ended
// and counts as done: handed over again it would store the datagram twice.
TEST_F(PostgresPass, ACommitWhoseAnswerIsLostButThatTookEffectIsNotRepeated) {
  testkit::PgServer waiting;
  const std::string db = waiting.CreateDatabase("commit");
  const std::string cs = waiting.ConnectionString(db);
  schema::CreateDatabaseTables(cs);
  testkit::PgExec(waiting, "postgres", "ALTER SYSTEM SET synchronous_standby_names = 'nobody'");
  testkit::PgExec(waiting, "postgres", "SELECT pg_reload_conf()");
  std::atomic<bool> done{false};
  std::atomic<int> ended{0};
  std::thread ender([&] {
    while (!done) {
      for (const auto& row : testkit::PgRows(waiting, "postgres",
                                             "select pid from pg_stat_activity where wait_event = 'SyncRep' "
                                             "and datname = '" + db + "'")) {
        testkit::PgExec(waiting, "postgres", "select pg_terminate_backend(" + row[0] + ")");
        ++ended;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  });
  auto d = ServerLog("Alpha");
  d.records = {Keyword("PlayerConnect", "Ann", "Red", "1")};
  auto r = RunPass(cs, d.Build(), options_);
  done = true;
  ender.join();
  EXPECT_GE(ended.load(), 1);
  EXPECT_FALSE(r.threw) << r.error;
  EXPECT_FALSE(r.outcome.deferred);
  EXPECT_TRUE(r.outcome.completed);
  EXPECT_EQ(testkit::PgRows(waiting, db, "select count(*) from Logs"), (std::vector<std::vector<std::string>>{{"1"}}));
  EXPECT_EQ(testkit::PgRows(waiting, db, "select Player from Players"), (std::vector<std::vector<std::string>>{{"Ann"}}));
}

// A pass that returned has let go of its datagram, so what it committed must
// outlive a crash of the server even where the server itself does not wait
// for its log at commit (a private server not started durable has
// synchronous_commit off; an immediate stop is a crash).
TEST_F(PostgresPass, WhatAPassCommittedOutlivesACrashOfAServerThatCommitsAsynchronously) {
  testkit::PgServer crashing;
  crashing.HoldAsynchronousCommits();
  const std::string db = crashing.CreateDatabase("crash");
  const std::string cs = crashing.ConnectionString(db);
  schema::CreateDatabaseTables(cs);
  testkit::PgExec(crashing, db, "CHECKPOINT");
  for (uint32_t packet = 1; packet <= 3; ++packet) {
    auto d = ServerLog("Alpha", packet);
    d.records = {Keyword("PlayerConnect", "P" + std::to_string(packet), "Red", "1")};
    auto r = RunPass(cs, d.Build(), options_);
    ASSERT_FALSE(r.threw) << r.error;
    ASSERT_TRUE(r.outcome.completed);
  }
  crashing.Pause();
  crashing.Resume();
  EXPECT_EQ(testkit::PgRows(crashing, db, "select count(*) from Logs"), (std::vector<std::vector<std::string>>{{"3"}}));
  EXPECT_EQ(testkit::PgRows(crashing, db, "select Player from Players order by Record"),
            (std::vector<std::vector<std::string>>{{"P1"}, {"P2"}, {"P3"}}));
  // The next pass reconnects and goes on numbering after what survived.
  auto d = ServerLog("Alpha", 4);
  d.records = {Keyword("PlayerConnect", "P4", "Red", "1")};
  auto r = RunPass(cs, d.Build(), options_);
  ASSERT_FALSE(r.threw) << r.error;
  EXPECT_EQ(testkit::PgRows(crashing, db, "select Record from Logs order by Record"),
            (std::vector<std::vector<std::string>>{{"1"}, {"2"}, {"3"}, {"4"}}));
}

}  // namespace
}  // namespace enginetest
