// Passes into PostgreSQL when the server drops the connection or crashes:
// a clear error, nothing stored half or twice, and the next pass reconnects.
#include <atomic>
#include <chrono>
#include <thread>

#include "ado.h"
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
  // Ends the sessions `query` names by pid until `done` (or after one, `once`).
  static int EndSessions(testkit::PgServer& server, const std::string& query, std::atomic<bool>& done, bool once) {
    int ended = 0;
    for (int i = 0; i < 20000 && !done && !(once && ended); ++i) {
      for (const auto& row : testkit::PgRows(server, "postgres", query)) {
        testkit::PgExec(server, "postgres", "select pg_terminate_backend(" + row[0] + ")");
        ++ended;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return ended;
  }
  // The server's statement statistics start afresh.
  static void ResetStatements() {
    testkit::PgExec(testkit::PgServer::Shared(), "postgres", "CREATE EXTENSION IF NOT EXISTS pg_stat_statements");
    testkit::PgExec(testkit::PgServer::Shared(), "postgres", "SELECT pg_stat_statements_reset()");
  }
  // The sum of `column` over the statements into `database` like `pattern`.
  static long long Statements(const std::string& column, const std::string& database, const std::string& pattern) {
    const auto rows = testkit::PgRows(testkit::PgServer::Shared(), "postgres",
                                      "select coalesce(sum(s." + column + "), 0)::bigint from pg_stat_statements s, "
                                      "pg_database d where d.oid = s.dbid and d.datname = '" + database +
                                          "' and s.query ilike '" + pattern + "'");
    return rows.empty() || rows[0].empty() ? -1 : std::atoll(rows[0][0].c_str());
  }
};

// The engine waits at a lock on Players; the server then ends its session.
TEST_F(PostgresPass, ServerDroppingTheConnectionMidPassGivesAClearErrorAndTheNextPassReconnects) {
  extra_settings_ = ";Busy Timeout=20000";
  Stored(Alpha({Keyword("PlayerConnect", "Ann", "Red", "1")}));
  auto lock = LockDatabase();
  std::atomic<bool> done{false};
  int dropped = 0;
  std::thread dropper([&] {
    dropped = EndSessions(testkit::PgServer::Shared(), "select pid from pg_stat_activity where datname = '" +
                          db_path_ + "' and wait_event_type = 'Lock'", done, true);
  });
  auto d = Alpha({Keyword("PlayerConnect", "Bob", "Blue", "2"), Score("Bob", "Ann", "Kill", "Rail", "1", "5")}, 2);
  auto r = Pass(d);
  dropper.join();
  lock->Release();
  ASSERT_GE(dropped, 1);
  // Nothing of the datagram is stored; the caller may hand it over again.
  EXPECT_TRUE(r.threw);
  EXPECT_TRUE(r.outcome.deferred);
  EXPECT_FALSE(r.outcome.completed);
  EXPECT_NE(r.error.find("The connection to the PostgreSQL server was lost"), std::string::npos) << r.error;
  EXPECT_EQ(r.error.find("locked by another"), std::string::npos) << r.error;
  EXPECT_TRUE(boxes_->shown().empty());
  EXPECT_EQ(Count("Logs"), 1);
  EXPECT_EQ(Table("SELECT Player FROM Players ORDER BY Record"), Lines{"Ann"});

  Stored(d);   // handed over again: connects afresh, stores it once
  EXPECT_EQ(Count("Logs"), 2);
  EXPECT_EQ(Table("SELECT Player FROM Players ORDER BY Record"), (Lines{"Ann", "Bob"}));
  EXPECT_EQ(Count("Scores_0000001"), 3);   // Ann's connection, then Bob's and his score, once
}

// The commit takes effect but its answer is lost with the session (waiting
// for a standby that never comes): the pass looks up how it ended, and is done.
TEST_F(PostgresPass, ACommitWhoseAnswerIsLostButThatTookEffectIsNotRepeated) {
  testkit::PgServer waiting;
  const std::string db = waiting.CreateDatabase("commit");
  const std::string cs = waiting.ConnectionString(db);
  schema::CreateDatabaseTables(cs);
  testkit::PgExec(waiting, "postgres", "ALTER SYSTEM SET synchronous_standby_names = 'nobody'");
  testkit::PgExec(waiting, "postgres", "SELECT pg_reload_conf()");
  std::atomic<bool> done{false};
  int ended = 0;
  std::thread ender([&] {
    ended = EndSessions(waiting, "select pid from pg_stat_activity where wait_event = 'SyncRep' and datname = '" +
                        db + "'", done, false);
  });
  auto r = RunPass(cs, Alpha({Keyword("PlayerConnect", "Ann", "Red", "1")}).Build(), options_);
  done = true;
  ender.join();
  EXPECT_GE(ended, 1);
  EXPECT_FALSE(r.threw) << r.error;
  EXPECT_FALSE(r.outcome.deferred);
  EXPECT_TRUE(r.outcome.completed);
  EXPECT_EQ(testkit::PgRows(waiting, db, "select count(*) from Logs"), (Grid{{"1"}}));
  EXPECT_EQ(testkit::PgRows(waiting, db, "select Player from Players"), (Grid{{"Ann"}}));
}

// What a pass committed outlives an immediate stop of a server with synchronous_commit off.
TEST_F(PostgresPass, WhatAPassCommittedOutlivesACrashOfAServerThatCommitsAsynchronously) {
  testkit::PgServer crashing;
  crashing.HoldAsynchronousCommits();
  const std::string db = crashing.CreateDatabase("crash");
  const std::string cs = crashing.ConnectionString(db);
  schema::CreateDatabaseTables(cs);
  testkit::PgExec(crashing, db, "CHECKPOINT");
  auto pass = [&](uint32_t packet) {
    auto d = Alpha({Keyword("PlayerConnect", "P" + std::to_string(packet), "Red", "1")}, packet);
    EXPECT_TRUE(RunPass(cs, d.Build(), options_).outcome.completed);
  };
  for (uint32_t packet = 1; packet <= 3; ++packet) pass(packet);
  crashing.Pause();
  crashing.Resume();
  EXPECT_EQ(testkit::PgRows(crashing, db, "select Player from Players order by Record"), (Grid{{"P1"}, {"P2"}, {"P3"}}));
  pass(4);   // reconnects and numbers on after what survived
  // Logs is numbered from a sequence, which a crash may move on by some
  // numbers: the new row is above the survivors, not necessarily next.
  const Grid logs = testkit::PgRows(crashing, db, "select Record from Logs order by Record");
  ASSERT_EQ(logs.size(), 4u);
  EXPECT_EQ(Grid(logs.begin(), logs.begin() + 3), (Grid{{"1"}, {"2"}, {"3"}}));
  EXPECT_GT(std::atoi(logs[3][0].c_str()), 3);
}

// A pass's reads do not grow with the database: with a million Logs rows and
// what it remembers made stale, a pass reads no more rows than into an empty one.
TEST_F(PostgresPass, APassReadsNoMoreRowsFromABigDatabaseThanFromAnEmptyOne) {
  testkit::PgServer& server = testkit::PgServer::Shared();
  auto rows_of_pass = [&](const std::string& database) {
    const std::string cs = ConnectionStringOf(database);
    EXPECT_TRUE(RunPass(cs, Alpha({Keyword("PlayerConnect", "Ann", "Red", "1")}).Build(), options_).outcome.completed);
    // Another program writes: nothing remembered may be taken on trust.
    testkit::PgExec(server, database, "insert into Teams values (900000, 'Elsewhere', '2026-01-01')");
    ResetStatements();
    auto d = Alpha({Keyword("PlayerConnect", "Bob", "Blue", "2"), Score("Bob", "Ann", "Kill", "Rail", "1", "5")}, 2);
    EXPECT_TRUE(RunPass(cs, d.Build(), options_).outcome.completed);
    return Statements("rows", database, "select%");
  };
  const long long empty = rows_of_pass(db_path_);
  const std::string big = MakeDatabase("big");
  testkit::PgExec(server, big, "insert into Logs (Record, Log_Port) select g, 0 from generate_series(1, 1000000) g");
  testkit::PgExec(server, big, "insert into Players (Record, Player) select g, 'p' || g from generate_series(1, 100000) g");
  testkit::PgExec(server, big, "analyze");
  EXPECT_GT(empty, 0);
  EXPECT_LE(rows_of_pass(big), empty) << "rows read into the big database, against " << empty;
  EXPECT_EQ(testkit::PgRows(server, big, "select max(Record) from Logs"), (Grid{{"1000002"}}));
}

// Other programs adding rows leave what earlier passes looked up known; a
// name's row that another program renumbered is looked up again.
TEST_F(PostgresPass, NamesLookedUpStayKnownWhileOthersAddRowsAndAreLookedUpAgainWhenTheirRowChanges) {
  const std::string player_lookups = "select%from \"Players\"%where%";
  Stored(Alpha({Keyword("PlayerConnect", "Ann", "Red", "1"), Keyword("PlayerConnect", "Bob", "Blue", "2")}));
  Exec("insert into Players values (900, 'Zed', '2026-01-01 10:00:00')");
  Exec("update Servers set Packet_Number = 77");
  ResetStatements();
  Stored(Alpha({Score("Ann", "Bob", "Kill", "Rail", "1", "5")}, 2));
  EXPECT_EQ(Statements("calls", db_path_, player_lookups), 0);

  Exec("update Players set Record = 700 where Player = 'Ann'");
  Stored(Alpha({Score("Ann", "Bob", "Kill", "Rail", "1", "5")}, 3));
  EXPECT_GT(Statements("calls", db_path_, player_lookups), 0);
  EXPECT_EQ(Table("SELECT Killer FROM Scores_0000001 ORDER BY Record DESC LIMIT 1"), Lines{"700"});
  EXPECT_EQ(Table("SELECT count(*) FROM Players WHERE Player = 'Ann'"), Lines{"1"});
}

// Another listener adds a name while the pass waits for its turn to number
// the name's table: the pass then finds it and adds no second row. A name
// the pass adds itself after such a wait is numbered above the other
// program's row, not from the largest Record the pass knew before its turn.
TEST_F(PostgresPass, ANameAddedByAnotherProgramWhileThePassWaitsItsTurnIsStoredOnce) {
  extra_settings_ = ";Busy Timeout=20000";
  Stored(Alpha({Keyword("Map", "q3dm1")}));
  struct Race {
    std::string table, insert;
    datagram::Builder datagram;
    Lines from_500 = {"500"};   // the table's Records from 500 on, after the pass
  };
  const Race races[] = {
      {"Players", "Insert into Players values ( 500, 'Bob', '2026-01-01 10:00:00')",
       Alpha({Keyword("PlayerConnect", "Bob", "Blue", "2")}, 2)},
      {"Maps", "Insert into Maps values ( 500, 'q3dm6', '2026-01-01 10:00:00')",
       Alpha({Keyword("Map", "q3dm6")}, 3)},
      {"Weapons", "Insert into Weapons values ( 500, 'Rail', '2026-01-01 10:00:00')",
       Alpha({Keyword("PlayerConnect", "Ann", "Red", "1"), Score("Ann", "Bob", "Kill", "Rail", "1", "5")}, 4)},
      // Ann took 501 in the pass before, which remembers it.
      {"Players", "Insert into Players values ( 600, 'Zed', '2026-01-01 10:00:00')",
       Alpha({Keyword("PlayerConnect", "Cid", "Red", "3")}, 5), {"500", "501", "600", "601"}},
  };
  testkit::PgServer& server = testkit::PgServer::Shared();
  for (const Race& race : races) {
    ado::Connection other;
    other.Open(ConnectionString());
    other.BeginTrans();
    ASSERT_TRUE(other.NumberingLock(race.table));
    std::atomic<bool> waited{false};
    std::thread releaser([&] {
      // Adds its row and commits once the pass, begun meanwhile, waits for
      // the turn (an advisory lock not granted).
      for (int i = 0; i < 60000 && !waited; ++i) {
        waited = !testkit::PgRows(server, db_path_, "select 1 from pg_locks where locktype = 'advisory' and not granted")
                       .empty();
        if (!waited) std::this_thread::yield();
      }
      other.Execute(race.insert);
      other.CommitTrans();
    });
    auto r = Pass(race.datagram);
    releaser.join();
    EXPECT_TRUE(waited) << race.table;
    EXPECT_TRUE(r.outcome.completed) << race.table << ": " << r.error;
    const std::string name = race.table.substr(0, race.table.size() - 1);   // no name twice
    EXPECT_EQ(One("SELECT count(*) - count(distinct " + name + ") FROM " + race.table), "0") << race.table;
    EXPECT_EQ(Table("SELECT Record FROM " + race.table + " WHERE Record >= 500 ORDER BY Record"), race.from_500)
        << race.table;
  }
  // The score row names the weapon the other program added.
  EXPECT_EQ(Table("SELECT Weapon FROM Scores_000000" + One("SELECT max(Record) FROM Games") + " WHERE Weapon <> 0"), Lines{"500"});
}

// A statement that meets another program's row lock fails when the wait ends
// and is tried again from its savepoint (PostgreSQL refuses every further
// statement of a failed transaction); the lock goes once it waits again.
TEST_F(PostgresPass, AStatementThatMeetsALockIsTriedAgainFromItsSavepointAndStored) {
  extra_settings_ = ";Busy Timeout=100";
  Stored(Alpha({Keyword("Map", "q3dm1")}));
  testkit::PgServer& server = testkit::PgServer::Shared();
  ado::Connection other;
  other.Open(ConnectionString());
  other.BeginTrans();
  other.Execute("SELECT Record FROM Servers FOR UPDATE");
  std::atomic<bool> waited_again{false};
  std::thread releaser([&] {
    const std::string waiting = "select query_start from pg_stat_activity where datname = '" + db_path_ +
                                "' and wait_event_type = 'Lock' and query ilike 'update%servers%'";
    std::string first;
    testkit::Eventually(
        [&] {
          const auto rows = testkit::PgRows(server, "postgres", waiting);
          if (rows.empty()) return false;
          if (first.empty()) first = rows[0][0];
          waited_again = rows[0][0] != first;
          return waited_again.load();
        },
        std::chrono::seconds(30), std::chrono::milliseconds(1));
    other.CommitTrans();
  });
  auto r = Pass(Alpha({Keyword("Map", "q3dm6")}, 2));
  releaser.join();
  EXPECT_TRUE(waited_again);
  EXPECT_TRUE(r.outcome.completed) << r.error;
  EXPECT_EQ(Table("SELECT Packet_Number FROM Servers"), Lines{"2"});
  EXPECT_EQ(Table("SELECT count(*) FROM Maps WHERE Map = 'q3dm6'"), Lines{"1"});
  EXPECT_TRUE(boxes_->shown().empty());
}

}  // namespace
}  // namespace enginetest
