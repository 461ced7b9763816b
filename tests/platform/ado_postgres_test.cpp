// The PostgreSQL provider on a real server: Jet's meaning, letter case, rowsets,
// locks, nested transactions, pooled and lost connections.
#include <gtest/gtest.h>

#include <optional>

#include <chrono>
#include <map>
#include <thread>

#include "ado_kit.h"
#include "backend.h"
#include "datetime.h"
#include "postgres_sql.h"

namespace {

using testkit::PgServer;

class AdoPostgres : public AdoTest {
 protected:
  void SetUp() override { Open(Backend::Postgres); }
  static PgServer& server() { return PgServer::Shared(); }
  Grid Rows(const std::string& sql) { return testkit::PgRows(server(), db_, sql); }
  int BackendPid(ado::Connection& c) { return static_cast<int>(c.Execute("Select pg_backend_pid() As P")->Field("P").AsInteger()); }
};

TEST_F(AdoPostgres, StatementFormsKeepJetMeaningAndNamesKeepTheirCase) {
  conn_.Execute("Insert into Types values ( 1, 'O''Brien''s', #2026-01-02 03:04:05#)");
  conn_.Execute("insert into TYPES values ( 2, '\xe9t\xe9', '1/2/2026')");
  conn_.Execute("Insert into Types values ( 3, 'zero', 0)");
  conn_.Execute("Insert into Scores values ( 1, 0.25)");
  conn_.Execute("Update Scores Set Offset=1.5 where Record=1");
  // The catalog holds the names as created; psql users quote them.
  EXPECT_EQ(Rows("select relname from pg_class where relname in ('Types','types') order by 1"), (Grid{{"Types"}}));
  EXPECT_EQ(Rows("select Record, Type, Date_Time from Types order by Record"),
            (Grid{{"1", "O'Brien's", "2026-01-02 03:04:05"}, {"2", "\xc3\xa9t\xc3\xa9", "2026-01-02 00:00:00"},
                  {"3", "zero", "1899-12-30 00:00:00"}}));
  auto rs = conn_.Execute("Select Record, type From types where date_time=#2026-01-02# Order By Record DESC");
  ASSERT_FALSE(rs->Eof());
  EXPECT_EQ(rs->Field("Type").AsText(), "\xe9t\xe9");   // narrow again, found by any case
  rs = conn_.Execute("Select Date_Time From Types Order By Record DESC");
  EXPECT_EQ(rs->Field("Date_Time").type(), ado::Value::Type::DateTime);
  EXPECT_EQ(rs->Field("Date_Time").AsDouble(), 0.0);
  EXPECT_EQ(conn_.Execute("Select Offset From Scores")->Field("Offset").AsDouble(), 1.5);
  // PostgreSQL texts hold no zero byte: a clear error, nothing stored.
  ado::Error e = ErrorOf([&] { conn_.Execute(std::string("Insert into Types values ( 9, 'a\0b', 0)", 40)); });
  EXPECT_EQ(e.Number(), ado::kErrConversion);
  EXPECT_EQ(Count("Types"), 3);
}

// The tables rowset in the names' own letter case (the provider types: DbCommandTest).
TEST_F(AdoPostgres, TablesRowsetKeepsLetterCaseAndANameFindsItsExactMatch) {
  testkit::PgExec(server(), db_, "create table \"logs\" (x integer); create view \"LogView\" as select 1 as y");
  std::map<std::string, std::string> kinds;
  for (auto rs = conn_.OpenSchema(ado::kSchemaTables); !rs->Eof(); rs->MoveNext())
    kinds[rs->Field("TABLE_NAME").AsText()] = rs->Field("TABLE_TYPE").AsText();
  EXPECT_EQ(kinds["Logs"], "TABLE");
  EXPECT_EQ(kinds["logs"], "TABLE");
  EXPECT_EQ(kinds["LogView"], "VIEW");
  EXPECT_EQ(kinds.count("pg_class"), 0u);
  // With two tables differing in case, a name finds its exact match.
  conn_.Execute("Insert into Logs (Record) values ( 5)");
  EXPECT_EQ(Rows("select count(*) from \"Logs\""), (Grid{{"1"}}));
  // Creating a table whose name differs only in case fails, as on Jet.
  ado::Error e = ErrorOf([&] { conn_.Execute("Create Table TYPES (Record integer)"); });
  EXPECT_EQ(e.Number(), ado::kErrCommand);
  EXPECT_TRUE(Has(e, "already exists"));
}

// Tables made or dropped by another program after the session read the
// list of tables (a listener makes one per game): a statement naming a
// known table beside a new one reads both, each under its own name, and a
// table dropped elsewhere may be made again.
TEST_F(AdoPostgres, TablesAnotherProgramMakesOrDropsAreFoundByName) {
  conn_.Execute("Insert into Types values ( 1, 'a', 0)");
  conn_.Execute("Insert into Types values ( 2, 'b', 0)");
  testkit::PgExec(server(), db_, "create table \"Aaa\" (\"A\" integer); insert into \"Aaa\" values (1), (2), (3)");
  EXPECT_EQ(conn_.Execute("Select count(*) As N From Types, AAA")->Field("N").AsInteger(), 6);
  EXPECT_EQ(conn_.Execute("Select count(*) As N From aaa, Types")->Field("N").AsInteger(), 6);
  // A table dropped elsewhere may be made again by this session.
  testkit::PgExec(server(), db_, "drop table \"Aaa\"");
  conn_.Execute("Create Table AAA (Record integer)");
  EXPECT_EQ(Rows("select relname from pg_class where lower(relname) = 'aaa'"), (Grid{{"AAA"}}));
}

// A table this session drops and makes again with other columns is read
// with its new columns (names found without regard to case).
TEST_F(AdoPostgres, ATableMadeAgainIsReadWithItsNewColumns) {
  conn_.Execute("Create Table Again (Record integer, Alpha integer)");
  conn_.Execute("Insert into again (record, alpha) values ( 1, 2)");
  conn_.Execute("Create Index IX_Again_Alpha On Again (Alpha)");
  conn_.Execute("Drop Table Again");
  conn_.Execute("Create Table Again (Record integer, Beta integer)");
  conn_.Execute("Insert into again (record, beta) values ( 1, 3)");
  EXPECT_EQ(conn_.Execute("Select BETA From AGAIN")->Field("Beta").AsInteger(), 3);
}

TEST_F(AdoPostgres, LockConflictsHaveTheirClass) {
  auto lock = std::make_unique<testkit::PgWriteLock>(server(), db_);
  const auto start = std::chrono::steady_clock::now();
  ado::Error locked = ErrorOf([&] { conn_.Execute("Insert into Types values ( 2, 'b', 0)"); });
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(locked.Number(), ado::kErrProvider);
  EXPECT_TRUE(Has(locked, "locked")) << locked.Description();
  EXPECT_EQ(locked.Kind(), ado::ErrorKind::Locked);
  EXPECT_FALSE(Has(locked, "duplicate"));
  EXPECT_LT(waited, std::chrono::seconds(5));   // the busy timeout, not forever

  // A key inserted by an open transaction elsewhere: the lock class while
  // it stays open, the duplicate class once it commits.
  lock.reset();
  testkit::PgWriteLock other(server(), db_);
  other.Exec("insert into Types values (3, 'c', '2026-01-01 00:00:00')");
  locked = ErrorOf([&] { conn_.Execute("Insert into Types values ( 3, 'd', 0)"); });
  EXPECT_TRUE(Has(locked, "locked")) << locked.Description();
  other.Commit();
  ado::Error dup = ErrorOf([&] { conn_.Execute("Insert into Types values ( 3, 'd', 0)"); });
  EXPECT_TRUE(Has(dup, "duplicate")) << dup.Description();
  EXPECT_EQ(dup.Kind(), ado::ErrorKind::Duplicate);
  // Names holding the two words make neither kind.
  conn_.Execute("Create Table locked (Record integer, Name varchar (50))");
  EXPECT_EQ(ErrorOf([&] { conn_.Execute("Insert into locked (Record, Nothing) values ( 1, 'duplicate')"); }).Kind(),
            ado::ErrorKind::Other);
}

// Two sessions each waiting for what the other holds: the server ends one
// of the waits as a deadlock, which is the lock class (the pass retries it),
// and the other goes on.
TEST_F(AdoPostgres, ADeadlockIsALockConflict) {
  // Waits far longer than the server's deadlock check (a second).
  const std::string waiting = server().ConnectionString(db_) + ";Busy Timeout=30000";
  ado::Connection other;
  other.Open(waiting);
  ado::Connection mine;
  mine.Open(waiting);
  mine.BeginTrans();
  other.BeginTrans();
  mine.NumberingLock("Players");
  other.NumberingLock("Weapons");
  std::optional<ado::Error> other_error;
  std::thread waiter([&] {
    try {
      other.NumberingLock("Players");
    } catch (const ado::Error& e) {
      other_error = e;
    }
  });
  std::optional<ado::Error> my_error;
  try {
    // Waits until the other session waits too: then the server's deadlock
    // check ends one of the two waits.
    while (Rows("select count(*) from pg_locks where locktype = 'advisory' and not granted") != Grid{{"1"}})
      std::this_thread::yield();
    mine.NumberingLock("Weapons");
  } catch (const ado::Error& e) {
    my_error = e;
  }
  if (my_error) mine.RollbackTrans();   // lets the other session have Players
  waiter.join();
  ASSERT_NE(my_error.has_value(), other_error.has_value()) << "exactly one wait ends as a deadlock";
  const ado::Error& e = my_error ? *my_error : *other_error;
  EXPECT_EQ(e.Number(), ado::kErrProvider);
  EXPECT_TRUE(Has(e, "locked")) << e.Description();
  EXPECT_TRUE(Has(e, "deadlock")) << e.Description();
  EXPECT_EQ(e.Kind(), ado::ErrorKind::Locked);
  if (!my_error) mine.CommitTrans();
  other.RollbackTrans();
}

// Ensuring an index that exists (as a pass does in its transaction) locks out no other writer.
TEST_F(AdoPostgres, CreateIndexIfNotExistsOfAnExistingIndexLeavesOtherWritersAlone) {
  const std::string ensure = "Create Index IF NOT EXISTS IX_Types_Type On Types (Type)";
  conn_.BeginTrans();
  conn_.Execute(ensure);   // missing: created, and the table stays locked until the commit
  conn_.CommitTrans();
  EXPECT_EQ(Rows("select count(*) from pg_indexes where indexname = 'IX_Types_Type'"), (Grid{{"1"}}));
  conn_.BeginTrans();
  conn_.Execute("Insert into Types values ( 1, 'a', 0)");
  conn_.Execute(ensure);
  conn_.Execute("CREATE UNIQUE INDEX if not exists IX_Types_Type On Types (Type)");
  ado::Connection other;
  other.Open(ConnectionString());
  other.Execute("Insert into Types values ( 2, 'b', 0)");   // no wait for the open transaction
  other.Close();
  conn_.CommitTrans();
  EXPECT_EQ(Count("Types"), 2);
  // The same name in another letter case is another index, as the statement
  // writes every name quoted.
  conn_.Execute("Create Index IF NOT EXISTS ix_types_type On Types (Type)");
  EXPECT_EQ(Rows("select count(*) from pg_indexes where lower(indexname) = 'ix_types_type'"), (Grid{{"2"}}));
}

TEST_F(AdoPostgres, TransactionsNestAndAFailedStatementLeavesTheTransactionUsable) {
  EXPECT_EQ(conn_.BeginTrans(), 1);
  conn_.Execute("Insert into Types values ( 1, 'kept', 0)");
  EXPECT_EQ(conn_.BeginTrans(), 2);
  conn_.Execute("Insert into Types values ( 2, 'undone', 0)");
  // A failing statement inside a savepoint: only it is undone.
  ado::Error dup = ErrorOf([&] { conn_.Execute("Insert into Types values ( 1, 'again', 0)"); });
  EXPECT_TRUE(Has(dup, "duplicate"));
  EXPECT_EQ(conn_.TransactionLevel(), 2);
  conn_.Execute("Insert into Types values ( 3, 'undone too', 0)");
  conn_.RollbackTrans();
  EXPECT_EQ(conn_.TransactionLevel(), 1);
  EXPECT_EQ(conn_.BeginTrans(), 2);
  ErrorOf([&] { conn_.Execute("Insert into Nowhere values ( 1)"); });
  conn_.Execute("Insert into Types values ( 4, 'released', 0)");
  conn_.CommitTrans();
  EXPECT_EQ(conn_.TransactionLevel(), 1);
  EXPECT_EQ(Rows("select count(*) from Types"), (Grid{{"0"}}));   // not yet visible
  conn_.CommitTrans();
  EXPECT_EQ(conn_.TransactionLevel(), 0);
  EXPECT_EQ(Rows("select Record from Types order by Record"), (Grid{{"1"}, {"4"}}));
  EXPECT_EQ(ErrorOf([&] { conn_.CommitTrans(); }).Number(), ado::kErrState);

  // A failure before anything changed: the transaction goes on as well.
  conn_.BeginTrans();
  EXPECT_TRUE(Has(ErrorOf([&] { conn_.Execute("Insert into Types values ( 1, 'first', 0)"); }), "duplicate"));
  EXPECT_EQ(conn_.TransactionLevel(), 1);
  conn_.Execute("Insert into Types values ( 6, 'after', 0)");
  conn_.CommitTrans();
  EXPECT_EQ(Count("Types"), 3);
  // A change made only inside a released savepoint is the outer level's: a
  // failure there afterwards undoes the failed statement alone.
  conn_.BeginTrans();
  conn_.BeginTrans();
  conn_.Execute("Insert into Types values ( 7, 'released', 0)");
  conn_.CommitTrans();
  EXPECT_TRUE(Has(ErrorOf([&] { conn_.Execute("Insert into Types values ( 1, 'again', 0)"); }), "duplicate"));
  conn_.CommitTrans();
  EXPECT_EQ(Count("Types"), 4);
}

TEST_F(AdoPostgres, OpenFailuresAreClearAndNeitherLockNorDuplicate) {
  ado::Connection c;
  auto check = [&](const std::string& cs, const char* word) {
    ado::Error e = ErrorOf([&] { c.Open(cs); });
    EXPECT_EQ(e.Number(), ado::kErrProvider) << cs;
    EXPECT_TRUE(Has(e, word)) << e.Description();
    EXPECT_FALSE(Has(e, "locked") || Has(e, "duplicate")) << e.Description();
    EXPECT_FALSE(c.IsOpen());
  };
  check(server().TcpConnectionString(db_, "wrong"), "password authentication failed");
  check(server().ConnectionString("no_such_database"), "no_such_database");
  check("Provider=PostgreSQL;Data Source=x;Location=127.0.0.1:1;User ID=tally;User Password=x", "127.0.0.1");
  check("Provider=PostgreSQL;Location=/tmp", "Data Source");
  check(server().ConnectionString(db_) + ";Busy Timeout=soon", "Busy Timeout");
  c.Open(server().TcpConnectionString(db_));   // the right password over TCP
  EXPECT_EQ(c.Execute("Select Count(*) As N From Types")->Field("N").AsInteger(), 0);
}

TEST_F(AdoPostgres, PooledConnectionIsReusedCheckedAndReplacedAfterTheServerDropsIt) {
  const int first = BackendPid(conn_);
  conn_.Close();
  conn_.Open(ConnectionString());
  EXPECT_EQ(BackendPid(conn_), first);   // the same server connection
  conn_.Close();
  testkit::PgExec(server(), "postgres", "select pg_terminate_backend(" + std::to_string(first) + ")");
  conn_.Open(ConnectionString());   // the check finds it gone and connects afresh
  EXPECT_NE(BackendPid(conn_), first);
}

}  // namespace

namespace {

// A select whose caller reads the first row at most asks the server for one
// row: the same first row, whatever the table holds; forms where a limit
// would change the meaning are left alone.
TEST_F(AdoPostgres, AFirstRowSelectFetchesOneRowAndOtherFormsStayWhole) {
  testkit::PgExec(server(), db_, "insert into \"Logs\" (\"Record\") select g from generate_series(1, 20000) g");
  auto fetched = [&] { return conn_.session().Stats().rows_fetched; };
  conn_.Execute("Select Record From Logs where Record = 0");   // the table's columns, read once
  uint64_t before = fetched();
  auto rs = conn_.Execute("Select Record From Logs Order By Record DESC", ado::kCmdText | ado::kFirstRowOnly);
  EXPECT_EQ(rs->Field("Record").AsInteger(), 20000);
  EXPECT_EQ(fetched() - before, 1u);
  before = fetched();
  conn_.Execute("Select Record From Logs where Record > 5 Order By Record", ado::kCmdText | ado::kFirstRowOnly);
  EXPECT_EQ(fetched() - before, 1u);
  before = fetched();
  conn_.Execute("Select Record From Logs Order By Record DESC");   // a reader of every row
  EXPECT_EQ(fetched() - before, 20000u);
  for (const char* whole : {"SELECT 1 UNION SELECT 2", "select * from t limit 5", "select x from t for update",
                            "select 1;", "insert into t values (1)"})
    EXPECT_EQ(ado::pg::LimitedToOneRow(whole), whole);
  EXPECT_EQ(ado::pg::LimitedToOneRow("select \"Record\" from \"Logs\""), "select \"Record\" from \"Logs\" LIMIT 1");
}

// Two sessions numbering Logs from the counter side by side, neither
// waiting for the other's commit: every number once, each above the
// table's largest Record, also when a program that numbers by the largest
// Record went beyond the counter, and when the counter is gone (a database
// put back from a backup made before it).
TEST_F(AdoPostgres, CounterNumbersAreUniqueAboveTheLargestRecordAndSurviveALostSequence) {
  int64_t n = 0;
  EXPECT_FALSE(conn_.NumberFromCounter("Logs", &n));   // outside a transaction: nothing
  ado::Connection other;
  other.Open(ConnectionString() + ";Busy Timeout=100");
  conn_.BeginTrans();
  other.BeginTrans();
  auto next = [&n](ado::Connection& c) {
    n = 0;
    EXPECT_TRUE(c.NumberFromCounter("logs", &n));   // the table's name in any case
    return n;
  };
  EXPECT_EQ(next(conn_), 1);   // the counter's first use makes it, under the numbering lock
  EXPECT_NE(ErrorOf([&] { other.NumberFromCounter("Logs", &n); }).Description().find("locked"), std::string::npos);
  conn_.CommitTrans();
  other.RollbackTrans();
  conn_.BeginTrans();
  other.BeginTrans();
  EXPECT_EQ(next(conn_), 2);
  EXPECT_EQ(next(other), 3);   // no wait: the first session's transaction is still open
  EXPECT_EQ(next(conn_), 4);
  conn_.Execute("Insert into Logs (Record, Log_Port) values ( 4, 0)");
  conn_.CommitTrans();
  other.RollbackTrans();   // a number given up stays given
  testkit::PgExec(server(), db_, "insert into \"Logs\" (\"Record\", \"Log_Port\") values (40, 0)");
  conn_.BeginTrans();
  EXPECT_EQ(next(conn_), 41);   // beyond a row another program numbered
  EXPECT_EQ(next(conn_), 42);
  conn_.CommitTrans();
  testkit::PgExec(server(), db_, "drop sequence tally_record_logs");
  conn_.BeginTrans();
  EXPECT_EQ(next(conn_), 41);   // made again, above the largest Record
  conn_.Execute("Insert into Logs (Record, Log_Port) values ( 41, 0)");
  EXPECT_EQ(next(conn_), 42);
  conn_.CommitTrans();
  EXPECT_EQ(Rows("select count(*) from pg_class where relname = 'tally_record_logs'"), (Grid{{"1"}}));
}

// The kept-rows stamp: other programs that only add rows, or change a free
// column, leave it as it was; a deletion, a change of another column, an
// emptied table and a table made again (a database put back from a dump)
// each change it, and the watch of a table made again is made again.
TEST_F(AdoPostgres, AKeptRowsStampIgnoresAddedRowsAndFreeColumnsButNoChangeOfWhatWasThere) {
  conn_.Execute("Insert into Servers values ( 1, '27960')");
  conn_.Execute("Insert into Scores values ( 1, 1.5)");
  conn_.WatchRows({{"servers", {"Server_Port"}}, {"Scores", {}}});
  auto kept = [&](bool whole = true) {
    conn_.BeginTrans();
    const uint64_t inside = conn_.KeptRowsStamp();
    conn_.CommitTrans();
    // Read outside a transaction: the same (a watch found broken stands in
    // with the change stamp, which other databases' writes move).
    if (whole) {
      EXPECT_EQ(conn_.KeptRowsStamp(), inside);
    }
    return inside;
  };
  auto other = [&](const std::string& sql) { testkit::PgExec(server(), db_, sql); };
  const uint64_t first = kept();
  ASSERT_NE(first, 0u);
  EXPECT_EQ(Rows("select count(*) from pg_trigger where tgname = 'tally_change_watch'"), (Grid{{"2"}}));
  EXPECT_EQ(kept(), first);

  conn_.BeginTrans();
  const uint64_t strict = conn_.ChangeStamp();
  conn_.CommitTrans();
  other("insert into \"Servers\" values (2, '1')");
  other("insert into \"Scores\" values (2, 2.5)");
  other("update \"Servers\" set \"Server_Port\" = '27961'");
  other("insert into \"Logs\" (\"Record\", \"Log_Port\") values (1, 0)");
  other("delete from \"Logs\"");   // not watched
  conn_.BeginTrans();
  EXPECT_NE(conn_.ChangeStamp(), strict);   // the database changed...
  conn_.CommitTrans();
  EXPECT_EQ(kept(), first);                 // ...but nothing that was there

  std::vector<uint64_t> seen{first};
  auto changed_by = [&](const std::string& sql) {
    other(sql);
    const uint64_t now = kept();
    for (uint64_t before : seen) EXPECT_NE(now, before) << sql;
    EXPECT_EQ(kept(), now) << sql;
    seen.push_back(now);
  };
  changed_by("update \"Servers\" set \"Record\" = 3 where \"Record\" = 2");
  changed_by("delete from \"Scores\" where \"Record\" = 2");
  changed_by("truncate \"Servers\"");
  // Put back as a dump would: the table made again, its rows and the count
  // as they were when the first stamp was read.
  const Grid count = Rows("select last_value from tally_changes");
  other("drop table \"Scores\"; create table \"Scores\" (\"Record\" integer unique, \"Offset\" real); "
        "insert into \"Scores\" values (1, 1.5); select setval('tally_changes', " + count[0][0] + ")");
  // The first transaction finds the watch broken (the change stamp stands
  // in), the next one has it made again.
  const uint64_t broken = kept(false);
  for (uint64_t before : seen) EXPECT_NE(broken, before);
  changed_by("select 1");
  EXPECT_EQ(Rows("select count(*) from pg_trigger where tgname = 'tally_change_watch'"), (Grid{{"2"}}));
  changed_by("delete from \"Scores\"");   // watched again
}

// Where the watch cannot be whole (no watched table), the kept-rows stamp
// is the change stamp.
TEST_F(AdoPostgres, AKeptRowsStampWithoutAWatchIsTheChangeStamp) {
  conn_.WatchRows({{"NoSuchTable", {}}});
  conn_.BeginTrans();
  EXPECT_EQ(conn_.KeptRowsStamp(), conn_.ChangeStamp());
  conn_.CommitTrans();
  EXPECT_NE(conn_.KeptRowsStamp(), 0u);
  EXPECT_EQ(Rows("select count(*) from pg_trigger where tgname = 'tally_change_watch'"), (Grid{{"0"}}));
}

// Two programs numbering one table take turns until the first one's
// transaction ends; the schema lock is held by one session until it closes.
TEST_F(AdoPostgres, NumberingAndSchemaLocksMakeOtherSessionsWaitAndFailAsLocks) {
  ado::Connection other;
  other.Open(ConnectionString() + ";Busy Timeout=100");
  conn_.NumberingLock("Logs");   // outside a transaction: nothing held
  other.BeginTrans();
  other.NumberingLock("Logs");
  conn_.BeginTrans();
  conn_.NumberingLock("Players");   // another table is free
  ado::Error e = ErrorOf([&] { conn_.NumberingLock("LOGS"); });   // the name in any case
  EXPECT_EQ(e.Number(), ado::kErrProvider);
  EXPECT_NE(e.Description().find("locked"), std::string::npos) << e.Description();
  conn_.RollbackTrans();
  other.CommitTrans();
  conn_.BeginTrans();
  conn_.NumberingLock("Logs");   // free once the holder's transaction ended
  conn_.CommitTrans();

  other.SchemaLock();
  EXPECT_NE(ErrorOf([&] { conn_.SchemaLock(); }).Description().find("locked"), std::string::npos);
  other.Close();
  conn_.SchemaLock();
}

}  // namespace
