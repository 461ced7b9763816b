// Schema creation on real SQLite files.
#include "engine_fixture.h"
#include "schema.h"

namespace enginetest {
namespace {

class SchemaTest : public ::testing::Test {
 protected:
  void SetUp() override {
    db_ = dir_.File("s.db");
    testkit::Touch(db_);
    previous_ = msgbox::Install(boxes_);
  }
  void TearDown() override { msgbox::Install(previous_); }
  std::string Cs() const { return "Provider=SQLite;Data Source=" + db_ + ";Busy Timeout=50"; }
  void Exec(const std::string& sql) {
    sqlite3* db;
    sqlite3_open(db_.c_str(), &db);
    char* err = nullptr;
    ASSERT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &err), SQLITE_OK) << (err ? err : "");
    sqlite3_close(db);
  }
  std::vector<std::string> Tables() {
    std::vector<std::string> names;
    sqlite3* db;
    sqlite3_open(db_.c_str(), &db);
    sqlite3_stmt* st;
    sqlite3_prepare_v2(db, "select name from sqlite_master where type='table' order by rowid", -1, &st, nullptr);
    while (sqlite3_step(st) == SQLITE_ROW)
      names.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(st, 0)));
    sqlite3_finalize(st);
    sqlite3_close(db);
    return names;
  }

  testkit::TempDir dir_;
  std::string db_;
  std::shared_ptr<msgbox::ScriptedMessageBoxes> boxes_ = std::make_shared<msgbox::ScriptedMessageBoxes>();
  std::shared_ptr<msgbox::MessageBoxService> previous_;
};

TEST_F(SchemaTest, EmptyDatabaseReceivesTheSeventeenTablesInOrder) {
  schema::CreateDatabaseTables(Cs());
  std::vector<std::string> expected(schema::kTableNames.begin() + 1, schema::kTableNames.end());
  EXPECT_EQ(Tables(), expected);
  EXPECT_TRUE(boxes_->shown().empty());
}

TEST_F(SchemaTest, StatementsUseTheProvidersTypeNamesAndDesignedColumnOrder) {
  ado::Connection c;
  c.Open(Cs());
  auto types = schema::ChooseProviderTypes(c);
  auto list = schema::TableCreationList(types);
  EXPECT_EQ(list[7], "Create Table Logs (Record " + types.Integer + " Constraint CU7 Unique, Log_IP " +
                         types.Text + " (50), Log_Port " + types.Integer + ", Log_Data " +
                         types.LongBinary + ", Log_Date " + types.DateTime + ")");
  EXPECT_EQ(list[12], "Create Table Servers (Record " + types.Integer +
                          " Constraint CU12 Unique, Server_Name " + types.Text +
                          " (128), Server_IP " + types.Text + " (16), Server_Port " + types.Text +
                          " (6), Packet_Number " + types.Integer + ", Date_Time " + types.DateTime + ")");
  for (const std::string* t : {&types.Integer, &types.Single, &types.DateTime, &types.Text, &types.LongBinary})
    EXPECT_FALSE(t->empty());
}

TEST_F(SchemaTest, ExistingTablesAreLeftAloneAndNothingRuns) {
  schema::CreateDatabaseTables(Cs());
  Exec("insert into Types values (1, 'x', '2026-01-01 00:00:00')");
  schema::CreateDatabaseTables(Cs());
  EXPECT_EQ(Tables().size(), 17u);
  EXPECT_TRUE(boxes_->shown().empty());
}

TEST_F(SchemaTest, ViewOrOtherCaseCountsAsMissingAndItsCreationIsAttempted) {
  Exec("create view Logs as select 1 as Record");
  Exec("create table players (x)");
  boxes_->Push(msgbox::vbNo);
  boxes_->Push(msgbox::vbNo);
  schema::CreateDatabaseTables(Cs());
  auto shown = boxes_->shown();
  ASSERT_EQ(shown.size(), 2u);   // Logs, then Players: both already exist in SQLite's eyes
  EXPECT_EQ(shown[0].title, "Record is Locked");
  EXPECT_NE(shown[0].text.find("An error occured"), std::string::npos);
  auto tables = Tables();
  EXPECT_EQ(std::count(tables.begin(), tables.end(), "Cvars"), 1);
  EXPECT_EQ(std::count(tables.begin(), tables.end(), "Weapons"), 1);
}

TEST_F(SchemaTest, MissingDatabaseFailsToTheCallerAndIsNotCreated) {
  std::string missing = dir_.File("none.mdb");
  EXPECT_THROW(schema::CreateDatabaseTables("Provider=Microsoft.Jet.OLEDB.3.51;Data Source=" + missing),
               ado::Error);
  EXPECT_FALSE(testkit::Exists(missing));
}

TEST_F(SchemaTest, LockedDatabaseCancelCallsTheCancelHandler) {
  schema::CreateDatabaseTables(Cs());
  WriteLock lock(db_);
  bool cancelled = false;
  schema::SetCancelHandler([&] { cancelled = true; });
  boxes_->Push(msgbox::vbCancel);
  boxes_->Push(msgbox::vbNo);
  ado::Connection c;
  c.Open(Cs());
  EXPECT_EQ(schema::ExecuteDbCommand(c, "Create Table T1 (a INTEGER)"), 2);
  EXPECT_TRUE(cancelled);
  EXPECT_FALSE(c.InTransaction());
  schema::SetCancelHandler(nullptr);
}

}  // namespace
}  // namespace enginetest
