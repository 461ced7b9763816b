// The SQLite provider on real files: date-times, narrow texts, locks against a
// second connection and an outside sqlite3 shell, errors, work on large tables.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <map>

#include "ado_kit.h"
#include "backend.h"
#include "datetime.h"
#include "sqlite_locks.h"

namespace {

class AdoSqlite : public AdoTest {
 protected:
  void SetUp() override { Open(Backend::Sqlite); }
  std::string Raw(const std::string& select) {   // a value as SQLite stores it
    return conn_.Execute(select)->Field("Raw").AsText();
  }
};

TEST_F(AdoSqlite, DateTimeColumnsTakeLiteralsTextsAndSerials) {
  const std::pair<const char*, const char*> cases[] = {
      {"#12/31/1999 13:45:10#", "1999-12-31 13:45:10"}, {"'12/31/1999 1:45:10 PM'", "1999-12-31 13:45:10"},
      {"'2026-01-02 03:04:05'", "2026-01-02 03:04:05"}, {"'12:00:01 AM'", "1899-12-30 00:00:01"},
      {"0", "1899-12-30 00:00:00"},                      {"36525.5", "1999-12-31 12:00:00"}};
  for (int i = 1; i <= 6; ++i) {
    const std::string n = std::to_string(i);
    conn_.Execute("Insert into Types values ( " + n + ", 'x', " + cases[i - 1].first + " )");
    EXPECT_EQ(Raw("Select Date_Time || '' As Raw From Types where Record=" + n), cases[i - 1].second);
  }
  conn_.Execute("Insert into Types values ( 7, 'null', NULL )");
  // SQLite's own date functions read the stored form.
  EXPECT_EQ(Raw("Select strftime('%Y', Date_Time) As Raw From Types where Record=3"), "2026");
  ado::Value v = conn_.Execute("Select Date_Time From Types where Record=3")->Field("Date_Time");
  EXPECT_EQ(v.type(), ado::Value::Type::DateTime);
  EXPECT_DOUBLE_EQ(v.AsDateTime(), datetime::FromParts(2026, 1, 2, 3, 4, 5));
  EXPECT_TRUE(conn_.Execute("Select Date_Time From Types where Record=7")->Field("Date_Time").IsNull());

  // Comparisons give the literal the column's meaning too.
  EXPECT_FALSE(conn_.Execute("Select Record From Types where Date_Time=#1/2/2026 3:04:05 AM#")->Eof());
  EXPECT_EQ(conn_.Execute("Select Record From Types where Date_Time='12/31/1999 13:45:10' Order By Record DESC")
                ->Field("Record").AsInteger(), 2);

  conn_.Execute("Update Types Set Date_Time=#2030-06-07# where Record=1");
  EXPECT_EQ(Raw("Select Date_Time || '' As Raw From Types where Record=1"), "2030-06-07 00:00:00");
}

// Locks survive foreign closes of the database's files in this process: else an
// outside sqlite3 shell would fold and delete the write-ahead log while we write.
class SqliteLocks : public AdoSqlite {
 protected:
  void SetUp() override {
    if (!testkit::HaveSqliteShell()) GTEST_SKIP() << "no sqlite3 shell";
    AdoSqlite::SetUp();
  }
  void Insert(int from, int count) {
    for (int i = from; i < from + count; ++i)
      conn_.Execute("Insert into Maps values ( " + std::to_string(i) + ", 'm', 0 )");
  }
  // Puts a copy in WAL mode whose table T holds 7 in place of `path`.
  void PutCopyInPlace(const std::string& path) {
    const std::string copy = path + ".copy";
    testkit::Touch(copy);
    ASSERT_EQ(testkit::OutsideSqlite(copy, "PRAGMA journal_mode=WAL;\nCREATE TABLE T (X INTEGER);\nINSERT INTO T VALUES (7);"),
              "wal\n");
    ASSERT_EQ(std::rename(copy.c_str(), path.c_str()), 0);
  }
  // Opens and closes every file of the database the way unrelated code does.
  void ForeignOpenClose(const std::string& path) {
    for (const char* suffix : {"", "-wal", "-shm"}) {
      const std::string file = path + suffix;
      int fd = ::open(file.c_str(), O_RDONLY);
      ASSERT_GE(fd, 0) << file;
      ::close(fd);
      if (FILE* f = std::fopen(file.c_str(), "rb")) std::fclose(f);
    }
  }
};

TEST_F(SqliteLocks, OutsideReaderAndWriterKeepEveryRowAfterForeignClosesAndStillMeetOurLock) {
  EXPECT_TRUE(ado::SqliteLocksKept());
  Insert(1, 10);
  ForeignOpenClose(path_);
  EXPECT_EQ(testkit::OutsideSqlite(path_, "INSERT INTO Maps VALUES (100, 'x', 0);\nSELECT count(*) FROM Maps;"),
            "11\n");
  EXPECT_TRUE(testkit::Exists(path_ + "-wal"));
  Insert(11, 10);
  ForeignOpenClose(path_);
  EXPECT_EQ(testkit::OutsideSqlite(path_, "SELECT count(*) FROM Maps;\nPRAGMA integrity_check;"), "21\nok\n");
  // Our write transaction holds the write lock against the outside shell.
  conn_.BeginTrans();
  Insert(21, 5);
  ForeignOpenClose(path_);
  const std::string out = testkit::OutsideSqlite(path_, ".timeout 0\nINSERT INTO Maps VALUES (200, 'x', 0);");
  EXPECT_NE(out.find("locked"), std::string::npos) << out;
  conn_.CommitTrans();
  conn_.Close();
  EXPECT_EQ(testkit::OutsideSqlite(path_, "SELECT count(*) FROM Maps;\nPRAGMA integrity_check;"), "26\nok\n");
}

// A restored copy takes the place of a file a connection still holds open
// (with a rollback journal): the new file has locks of its own.
TEST_F(SqliteLocks, ReplacedFileKeepsLocksOfItsOwn) {
  const std::string path = dir_.File("replaced.mdb");
  testkit::Touch(path);
  ado::Connection old;
  old.Open("Provider=Microsoft.Jet.OLEDB.3.51;Data Source=" + path + ";Journal Mode=DELETE");
  old.Execute("Create Table T (X INTEGER)");
  old.Execute("Insert into T values ( 1 )");
  ASSERT_NO_FATAL_FAILURE(PutCopyInPlace(path));
  ado::Connection again;
  again.Open("Provider=Microsoft.Jet.OLEDB.3.51;Data Source=" + path);
  again.Execute("Insert into T values ( 8 )");
  ForeignOpenClose(path);
  EXPECT_EQ(testkit::OutsideSqlite(path, "INSERT INTO T VALUES (9);\nSELECT group_concat(X) FROM T;"), "7,8,9\n");
  again.Execute("Insert into T values ( 10 )");
  EXPECT_EQ(testkit::OutsideSqlite(path, "SELECT group_concat(X) FROM T;\nPRAGMA integrity_check;"), "7,8,9,10\nok\n");
}

// A copy put in place of a file whose kept writer still has rows in its
// write-ahead log: those rows belong to the old file and never reach the copy.
TEST_F(SqliteLocks, ARetiredWritersLogNeverReachesTheCopyPutInItsPlace) {
  const std::string path = dir_.File("live.mdb");
  const std::string cs = "Provider=Microsoft.Jet.OLEDB.3.51;Data Source=" + path;
  testkit::Touch(path);
  ASSERT_EQ(testkit::SqlExec(path, "PRAGMA journal_mode=WAL; CREATE TABLE T (X INTEGER); INSERT INTO T VALUES (1)"), 0);
  {
    ado::Connection writer;
    writer.Open(cs);
    for (int x = 2; x <= 40; ++x) writer.Execute("Insert into T values ( " + std::to_string(x) + " )");
  }   // kept for reuse; its rows still in the log only
  ASSERT_NO_FATAL_FAILURE(PutCopyInPlace(path));
  ado::Connection again;
  again.Open(cs);
  again.Execute("Insert into T values ( 8 )");
  again.Close();
  EXPECT_EQ(testkit::OutsideSqlite(path, "SELECT group_concat(X) FROM T;\nPRAGMA integrity_check;"), "7,8\nok\n");
}

// A handle kept for reuse on a file that has since been replaced is
// retired when the path is next opened. Another program that opened the new
// file shares the same write-ahead log (it goes by name): its rows stay,
// whether it wrote them before the handle was retired or only after, and
// whether it still runs or has ended.
TEST_F(SqliteLocks, ARetiredHandleLeavesTheLogAnotherProgramHasOpenOnTheNewFile) {
  for (const bool writes_first : {true, false}) {
    SCOPED_TRACE(writes_first ? "written before the handle is retired" : "written after");
    const std::string tag = writes_first ? "a" : "b";
    const std::string path = dir_.File("restored" + tag + ".mdb");
    const std::string cs = "Provider=Microsoft.Jet.OLEDB.3.51;Data Source=" + path;
    testkit::Touch(path);
    ASSERT_EQ(testkit::SqlExec(path, "PRAGMA journal_mode=WAL; CREATE TABLE T (X INTEGER); INSERT INTO T VALUES (1)"), 0);
    {
      ado::Connection kept;   // a reader, as the site's
      kept.Open(cs + ";Mode=Read");
      EXPECT_EQ(kept.Execute("Select X From T")->Field("X").AsInteger(), 1);
    }   // its handle waits for reuse, with the log open
    ASSERT_NO_FATAL_FAILURE(PutCopyInPlace(path));

    // The other program reads the new file (and so opens its log), writes a
    // row before or after it is told to go on, then stays open until told.
    int to_child[2], from_child[2];
    ASSERT_EQ(::pipe(to_child), 0);
    ASSERT_EQ(::pipe(from_child), 0);
    const pid_t writer = ::fork();
    ASSERT_GE(writer, 0);
    if (writer == 0) {
      sqlite3* db = nullptr;
      auto step = [&](const char* sql) { return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK; };
      char c = 'n';
      bool ok = sqlite3_open(path.c_str(), &db) == SQLITE_OK && step("SELECT count(*) FROM T") &&
                (!writes_first || step("INSERT INTO T VALUES (8)"));
      c = ok ? 'y' : 'n';
      (void)!::write(from_child[1], &c, 1);
      (void)!::read(to_child[0], &c, 1);
      c = ok && (writes_first || step("INSERT INTO T VALUES (8)")) ? 'y' : 'n';
      (void)!::write(from_child[1], &c, 1);
      (void)!::read(to_child[0], &c, 1);
      sqlite3_close(db);
      ::_exit(0);
    }
    char c = 0;
    ASSERT_EQ(::read(from_child[0], &c, 1), 1);
    ASSERT_EQ(c, 'y');

    ado::Connection again;   // retires the kept handle
    again.Open(cs + ";Mode=Read");
    auto rows = [&] {
      auto rs = again.Execute("Select X From T Order By X");
      std::string xs;
      for (; !rs->Eof(); rs->MoveNext()) xs += std::to_string(rs->Field("X").AsInteger()) + ",";
      return xs;
    };
    EXPECT_EQ(rows(), writes_first ? "7,8," : "7,");
    ASSERT_EQ(::write(to_child[1], "g", 1), 1);
    ASSERT_EQ(::read(from_child[0], &c, 1), 1);
    EXPECT_EQ(c, 'y');
    EXPECT_EQ(rows(), "7,8,");
    ASSERT_EQ(::write(to_child[1], "g", 1), 1);
    int status = 0;
    ASSERT_EQ(::waitpid(writer, &status, 0), writer);
    EXPECT_EQ(rows(), "7,8,");
    again.Close();
    for (int fd : {to_child[0], to_child[1], from_child[0], from_child[1]}) ::close(fd);
    EXPECT_EQ(testkit::OutsideSqlite(path, "SELECT group_concat(X) FROM T;\nPRAGMA integrity_check;"), "7,8\nok\n");
  }
}

TEST_F(AdoSqlite, StatementErrorsKeepTheirOwnNumbers) {
  for (const char* bad : {"Selct Record From Logs", "Select Record From NoSuchTable",
                          "Insert into Types values ( 1, 'a' )", "Select 1; Select 2",
                          "Select Record From Types where Type=?", "Insert into Types values ( 1, 'a",
                          "Select #2026-01-02", "Select [Record From Types"}) {
    ado::Error e = ErrorOf([&] { conn_.Execute(bad); });
    EXPECT_EQ(e.Number(), ado::kErrCommand) << bad << ": " << e.Description();
    EXPECT_FALSE(Has(e, "locked") || Has(e, "duplicate")) << bad;
  }
}

// Counted by the backend: adding rows reads none, a descending query's first row is one fetch.
TEST_F(AdoSqlite, LargeTablesAreNotReadWhenOnlyAddingOrTakingTheFirstRow) {
  ASSERT_EQ(testkit::SqlExec(path_, "WITH RECURSIVE n(x) AS (SELECT 1 UNION ALL SELECT x+1 FROM n WHERE x<200000) "
                                    "INSERT INTO Logs(Record, Log_IP, Log_Port) SELECT x, '10.0.0.1', 27960 FROM n"),
            SQLITE_OK);
  auto rows = [&] { return conn_.session().Stats().rows_fetched; };
  uint64_t before = rows();
  auto top = conn_.Execute("Select Record From Logs Order By Record DESC");
  EXPECT_EQ(top->Field("Record").AsInteger(), 200000);
  top->Close();
  EXPECT_LT(rows() - before, 10u);

  before = rows();
  ado::Recordset add;
  add.Open("Select * From Logs", conn_, ado::kOpenDynamic, ado::kLockOptimistic);
  AddNew(add, {{"Record", ado::Value::Integer(200001)}});
  add.Update();
  add.Close();
  EXPECT_LT(rows() - before, 100u);
  EXPECT_EQ(Count("Logs"), 200001);
}

TEST_F(AdoSqlite, UnfinishedRecordsetNeitherHidesNewRowsNorBlocksWrites) {
  for (int i = 1; i <= 5; ++i) conn_.Execute("Insert into Maps values ( " + std::to_string(i) + ", 'm', 0 )");
  auto held = conn_.Execute("Select Record From Maps Order By Record DESC");   // never closed
  EXPECT_EQ(held->Field("Record").AsInteger(), 5);
  ado::Connection other;
  other.Open(ConnectionString());
  other.Execute("Insert into Maps values ( 6, 'm', 0 )");
  // The next query sees the other connection's row, and this connection can write.
  EXPECT_EQ(conn_.Execute("Select Record From Maps Order By Record DESC")->Field("Record").AsInteger(), 6);
  conn_.BeginTrans();
  conn_.Execute("Insert into Maps values ( 7, 'm', 0 )");
  conn_.CommitTrans();
  conn_.Close();
  // The held recordset still has the rows it was opened with.
  int n = 0;
  for (; !held->Eof(); held->MoveNext()) EXPECT_EQ(held->Field("Record").AsInteger(), 5 - n++);
  EXPECT_EQ(n, 5);
  // Closed while its select still runs: the rows stay readable, and the
  // handle goes back to the pool with no statement running on it, so the
  // next connection that takes it sees what was written since.
  ado::Connection closing;
  closing.Open(ConnectionString());
  auto running = closing.Execute("Select Record From Maps Order By Record");
  closing.Close();
  other.Execute("Insert into Maps values ( 8, 'm', 0 )");
  ado::Connection reuse;
  reuse.Open(ConnectionString());
  EXPECT_EQ(reuse.Execute("Select Record From Maps Order By Record DESC")->Field("Record").AsInteger(), 8);
  for (n = 0; !running->Eof(); running->MoveNext()) EXPECT_EQ(running->Field("Record").AsInteger(), ++n);
  EXPECT_EQ(n, 7);
}

}  // namespace
