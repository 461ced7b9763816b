// The SQLite provider against real database files: Jet's date-time meaning
// in the stored form, narrow texts, lock conflicts from a second connection,
// statement errors and the work done for large tables; faults injected into
// its sessions. What every provider does alike is in ado_backends_test.cpp.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <chrono>
#include <map>

#include "ado_kit.h"
#include "backend.h"
#include "datetime.h"
#include "fault_injection.h"

namespace {

class AdoSqlite : public AdoTest {
 protected:
  void SetUp() override { Open(Backend::Sqlite); }
  std::string Raw(const std::string& select) {   // a value as SQLite stores it
    return conn_.Execute(select)->Field("Raw").AsText();
  }
};

TEST_F(AdoSqlite, TablesRowsetKeepsLetterCaseAndTellsKinds) {
  conn_.Execute("Create View LogView As Select Record From Logs");
  conn_.Execute("Create Table Counter (Id INTEGER PRIMARY KEY AUTOINCREMENT)");
  auto rs = conn_.OpenSchema(ado::kSchemaTables);
  std::map<std::string, std::string> kinds;
  for (; !rs->Eof(); rs->MoveNext()) kinds[rs->Field("TABLE_NAME").AsText()] = rs->Field("TABLE_TYPE").AsText();
  EXPECT_EQ(kinds["Logs"], "TABLE");
  EXPECT_EQ(kinds.count("logs"), 0u);
  EXPECT_EQ(kinds["LogView"], "VIEW");
  EXPECT_EQ(kinds["sqlite_sequence"], "SYSTEM TABLE");
  // A table of the same name in another letter case cannot be created.
  ado::Error e = ErrorOf([&] { conn_.Execute("Create Table LOGS (Record INTEGER)"); });
  EXPECT_EQ(e.Number(), ado::kErrCommand);
}

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
  // SQLite's own date functions read the stored form; a date in a text
  // literal (as the weapons insert writes it) is a date-time too.
  EXPECT_EQ(Raw("Select strftime('%Y', Date_Time) As Raw From Types where Record=3"), "2026");

  auto rs = conn_.Execute("Select Date_Time From Types where Record=3");
  ado::Value v = rs->Field("Date_Time");
  EXPECT_EQ(v.type(), ado::Value::Type::DateTime);
  EXPECT_DOUBLE_EQ(v.AsDateTime(), datetime::FromParts(2026, 1, 2, 3, 4, 5));
  EXPECT_TRUE(conn_.Execute("Select Date_Time From Types where Record=7")->Field("Date_Time").IsNull());

  // Comparisons give the literal the column's meaning too.
  EXPECT_FALSE(conn_.Execute("Select Record From Types where Date_Time=#1/2/2026 3:04:05 AM#")->Eof());
  EXPECT_EQ(conn_.Execute("Select Record From Types where Date_Time='12/31/1999 13:45:10' Order By Record DESC")
                ->Field("Record").AsInteger(), 2);

  conn_.Execute("Update Types Set Date_Time=#2030-06-07# where Record=1");
  EXPECT_EQ(Raw("Select Date_Time || '' As Raw From Types where Record=1"), "2030-06-07 00:00:00");
  // A date-time added through a recordset is stored in the same form.
  ado::Recordset rs2;
  rs2.Open("Select * From Logs", conn_, ado::kOpenDynamic, ado::kLockOptimistic);
  rs2.AddNew();
  rs2.SetField("Record", ado::Value::Integer(1));
  rs2.SetField("Log_Date", ado::Value::DateTime(datetime::FromParts(2026, 3, 4, 5, 6, 7)));
  rs2.Update();
  EXPECT_EQ(Raw("Select Log_Date || '' As Raw From Logs where Record=1"), "2026-03-04 05:06:07");
}

TEST_F(AdoSqlite, NarrowTextsRoundTripByteForByte) {
  // Bytes above 127 that are no UTF-8 text: read as ISO-8859-1, one
  // character per byte, and given back byte for byte.
  const std::string name = "Jos\xE9 O''Neil \xFF\x80";
  const std::string stored = "Jos\xE9 O'Neil \xFF\x80";
  conn_.Execute("Insert into Players values ( 1, '" + name + "', #2026-01-01# )");
  auto rs = conn_.Execute("Select Record, Player From Players where Player='" + name + "'");
  ASSERT_FALSE(rs->Eof());
  EXPECT_EQ(rs->Field("player").AsText(), stored);
  // A value that already is UTF-8 text passes unchanged: stored as one
  // character, found again by the same bytes, read back in the narrow code page.
  conn_.Execute("Insert into Players values ( 2, 'Ren\xC3\xA9', #2026-01-01# )");
  rs = conn_.Execute("Select Record, Player From Players where Player='Ren\xC3\xA9'");
  ASSERT_FALSE(rs->Eof());
  EXPECT_EQ(rs->Field("Record").AsInteger(), 2);
  EXPECT_EQ(rs->Field("Player").AsText(), "Ren\xE9");
  EXPECT_EQ(conn_.Execute("Select length(Player) As N From Players where Record=2")->Field("N").AsInteger(), 4);
  // A narrow name in a table name and a statement that is already UTF-8 text.
  conn_.Execute("Create Table Caf\xE9 (Record INTEGER, Nom VARCHAR (10))");
  conn_.Execute("Insert into Caf\xE9 values ( 1, '\xE9t\xE9' )");
  EXPECT_EQ(conn_.Execute("Select Nom From Caf\xE9")->Field("Nom").AsText(), "\xE9t\xE9");
}

class AdoLocks : public AdoSqlite, public ::testing::WithParamInterface<const char*> {};

TEST_P(AdoLocks, SecondConnectionsWriteLockIsReportedAsLockedUntilReleased) {
  conn_.Close();
  const int timeout_ms = 150;
  const std::string cs = ConnectionString(std::string(";Journal Mode=") + GetParam() + ";Busy Timeout=" +
                                          std::to_string(timeout_ms));
  ado::Connection writer, other;
  writer.Open(cs);
  other.Open(cs);
  other.BeginTrans();
  other.Execute("Insert into Types values ( 1, 'held', 0 )");

  // Reading goes on while the other connection holds its write lock.
  EXPECT_TRUE(writer.Execute("Select Record From Types Order By Record DESC")->Eof());

  const auto start = std::chrono::steady_clock::now();
  ado::Error e = ErrorOf([&] { writer.Execute("Insert into Types values ( 2, 'mine', 0 )"); });
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(e.Number(), ado::kErrProvider);
  EXPECT_TRUE(Has(e, "locked")) << e.Description();
  EXPECT_GE(waited, std::chrono::milliseconds(timeout_ms - 20));

  e = ErrorOf([&] { writer.BeginTrans(); });
  EXPECT_TRUE(Has(e, "locked")) << e.Description();
  EXPECT_FALSE(writer.InTransaction());

  other.CommitTrans();
  writer.BeginTrans();
  writer.Execute("Insert into Types values ( 2, 'mine', 0 )");
  writer.CommitTrans();
  EXPECT_EQ(writer.Execute("Select Count(*) As N From Types")->Field("N").AsInteger(), 2);
}

INSTANTIATE_TEST_SUITE_P(JournalModes, AdoLocks, ::testing::Values("WAL", "DELETE"));

// Callers need no savepoint around a statement: one that fails inside a
// transaction leaves nothing of itself, not even the rows it wrote before
// failing, and the transaction goes on.
TEST_F(AdoSqlite, AFailedStatementLeavesNothingOfItselfAndTheTransactionGoesOn) {
  EXPECT_TRUE(conn_.FailedStatementsUndone());
  conn_.BeginTrans();
  conn_.Execute("Insert into Maps values ( 5, 'dm6', 0 )");
  conn_.Execute("Insert into Maps values ( 3, 'dm7', 0 )");
  conn_.Execute("Insert into Teams values ( 4, 'Red', 0 )");
  // Record 6 goes in first, then Record 4 is a duplicate.
  ado::Error e = ErrorOf(
      [&] { conn_.Execute("Insert into Teams Select Record + 1, Map, 0 From Maps Order By Record DESC"); });
  EXPECT_TRUE(Has(e, "duplicate")) << e.Description();
  EXPECT_EQ(conn_.TransactionLevel(), 1);
  conn_.Execute("Insert into Teams values ( 9, 'Blue', 0 )");
  conn_.CommitTrans();
  EXPECT_EQ(Count("Maps"), 2);
  EXPECT_EQ(Count("Teams"), 2);
  EXPECT_EQ(conn_.Execute("Select Max(Record) As N From Teams")->Field("N").AsInteger(), 9);
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

// Work that must not grow with the table: opening for adding rows reads no
// rows, and a caller that reads the first row of a descending query fetches
// one. Counted by the backend's own row counter.
TEST_F(AdoSqlite, LargeTablesAreNotReadWhenOnlyAddingOrTakingTheFirstRow) {
  ASSERT_EQ(testkit::SqlExec(path_, "WITH RECURSIVE n(x) AS (SELECT 1 UNION ALL SELECT x+1 FROM n WHERE x<200000) "
                                    "INSERT INTO Logs(Record, Log_IP, Log_Port) SELECT x, '10.0.0.1', 27960 FROM n"),
            SQLITE_OK);
  auto rows = [&] { return conn_.session().Stats().rows_fetched; };
  uint64_t before = rows();
  auto top = conn_.Execute("Select Record From Logs Order By Record DESC");
  ASSERT_FALSE(top->Eof());
  EXPECT_EQ(top->Field("Record").AsInteger(), 200000);
  top->Close();
  EXPECT_LT(rows() - before, 10u);

  before = rows();
  ado::Recordset add;
  add.Open("Select * From Logs", conn_, ado::kOpenDynamic, ado::kLockOptimistic);
  add.AddNew();
  add.SetField("Record", ado::Value::Integer(200001));
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

// Fault injection: chosen operations fail before they reach the database.
TEST_F(AdoSqlite, NthMatchingOperationsFailWithoutEffectAndAFailedUpdateKeepsItsRow) {
  auto plan = std::make_shared<ado::fault::FaultPlan>();
  plan->Fail({ado::fault::kExecute, "Insert into Types", 2, 2, ado::fault::LockConflict()});
  plan->Fail({ado::fault::kInsert, "Types", 1, 1, ado::Error(-2147217887, "Disk on fire")});
  ado::fault::Wrap(conn_, plan);
  conn_.Execute("Insert into Types values ( 1, 'a', 0 )");
  for (int attempt = 0; attempt < 2; ++attempt) {
    try {
      conn_.Execute("Insert into Types values ( 2, 'b', 0 )");
      ADD_FAILURE() << "no injected failure";
    } catch (const ado::Error& e) {
      EXPECT_EQ(e.Number(), ado::kErrProvider);
      EXPECT_NE(e.Description().find("locked"), std::string::npos);
    }
  }
  EXPECT_EQ(Count("Types"), 1);   // the failed inserts did not run
  conn_.Execute("Insert into Types values ( 2, 'b', 0 )");
  EXPECT_EQ(plan->Log().front(), "Execute: Insert into Types values ( 1, 'a', 0 )");

  ado::Recordset rs;
  rs.Open("Select * From Types", conn_, ado::kOpenDynamic, ado::kLockOptimistic);
  rs.AddNew();
  rs.SetField("Record", ado::Value::Integer(3));
  EXPECT_THROW(rs.Update(), ado::Error);
  rs.Update();   // the pending row was kept for the retry
  EXPECT_EQ(Count("Types"), 3);
  EXPECT_EQ(plan->Injected(), 3);
}

TEST_F(AdoSqlite, ScopedInjectionReachesConnectionsOpenedMeanwhile) {
  auto plan = std::make_shared<ado::fault::FaultPlan>();
  plan->Fail({ado::fault::kCommit, "", 1, -1, ado::fault::DuplicateKey()});
  {
    ado::fault::ScopedInjection scope(plan);
    ado::Connection c;
    c.Open(ConnectionString());
    c.BeginTrans();
    c.Execute("Insert into Types values ( 1, 'a', 0 )");
    EXPECT_THROW(c.CommitTrans(), ado::Error);
    EXPECT_THROW(c.CommitTrans(), ado::Error);
    EXPECT_TRUE(c.InTransaction());
    c.RollbackTrans();
    EXPECT_EQ(Count("Types"), 0);
  }
  ado::Connection after;
  after.Open(ConnectionString());
  after.BeginTrans();
  after.Execute("Insert into Types values ( 1, 'a', 0 )");
  EXPECT_NO_THROW(after.CommitTrans());
  EXPECT_EQ(plan->Injected(), 2);
}

}  // namespace
