// Schema creation on real SQLite files and on PostgreSQL; registration of
// Score_Class through the component model.
#include "engine_fixture.h"
#include "fault_injection.h"
#include "registry.h"
#include "schema.h"
#include "score_module.h"

#include <dlfcn.h>

namespace enginetest {
namespace {

const Lines kTables = {"Cvars", "Games", "Games_Cvars", "Games_Maps", "Games_Players_Cvars",
                       "Games_Players_Teams", "Logs", "Logs_Games", "Maps", "Players", "Scores",
                       "Servers", "Servers_Cvars", "Servers_Games", "Teams", "Types", "Weapons"};

class SchemaTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    db_path_ = dir_->File("s.db");   // an empty database
    testkit::Touch(db_path_);
  }
  Lines Tables() { return Table("select name from sqlite_master where type='table' order by rowid"); }
};

TEST_F(SchemaTest, EmptyDatabaseReceivesTheSeventeenTablesInOrderEachInItsOwnTransaction) {
  auto plan = std::make_shared<ado::fault::FaultPlan>();
  {
    ado::fault::ScopedInjection scope(plan);
    schema::CreateDatabaseTables(ConnectionString());
  }
  EXPECT_EQ(Tables(), kTables);
  auto log = plan->Log();
  Lines creates;
  for (size_t i = 1; i + 1 < log.size(); ++i)
    if (log[i].rfind("Execute: Create Table ", 0) == 0 && log[i - 1] == "Begin" && log[i + 1] == "Commit")
      creates.push_back(log[i]);
  // The provider's type names in the designed column order.
  ASSERT_EQ(creates.size(), 17u);
  EXPECT_EQ(creates[6], "Execute: Create Table Logs (Record INTEGER Constraint CU7 Unique, Log_IP VARCHAR (50), "
                        "Log_Port INTEGER, Log_Data BLOB, Log_Date DATETIME)");
  EXPECT_EQ(creates[10], "Execute: Create Table Scores (Record INTEGER Constraint CU11 Unique, Killer INTEGER, "
                         "Victim INTEGER, Type INTEGER, Weapon INTEGER, Score INTEGER, Offset REAL)");
  EXPECT_EQ(creates[11], "Execute: Create Table Servers (Record INTEGER Constraint CU12 Unique, Server_Name "
                         "VARCHAR (128), Server_IP VARCHAR (16), Server_Port VARCHAR (6), Packet_Number INTEGER, "
                         "Date_Time DATETIME)");

  Exec("insert into Types values (1, 'x', '2026-01-01 00:00:00')");
  schema::CreateDatabaseTables(ConnectionString());   // a database that has them is left alone
  EXPECT_EQ(Tables().size(), 17u);
  EXPECT_EQ(Count("Types"), 1);
  EXPECT_TRUE(boxes_->shown().empty());
}

// Both already exist in SQLite's eyes: each creation fails and is answered No.
TEST_F(SchemaTest, ViewOrOtherCaseCountsAsMissingAndItsCreationIsAttempted) {
  Exec("create view Logs as select 1 as Record");
  Exec("create table players (x)");
  boxes_->Push(msgbox::vbNo);
  boxes_->Push(msgbox::vbNo);
  schema::CreateDatabaseTables(ConnectionString());
  auto shown = boxes_->shown();
  ASSERT_EQ(shown.size(), 2u);
  EXPECT_EQ(shown[0].title, "Record is Locked");
  EXPECT_NE(shown[0].text.find("An error occured"), std::string::npos);
  auto tables = Tables();
  EXPECT_EQ(std::count(tables.begin(), tables.end(), "Cvars"), 1);
  EXPECT_EQ(std::count(tables.begin(), tables.end(), "Weapons"), 1);
}

TEST_F(SchemaTest, MissingDatabaseFailsAndIsNotCreatedLockedCancelCallsTheHandler) {
  std::string missing = dir_->File("none.mdb");
  EXPECT_THROW(schema::CreateDatabaseTables("Provider=Microsoft.Jet.OLEDB.3.51;Data Source=" + missing),
               ado::Error);
  EXPECT_FALSE(testkit::Exists(missing));

  ado::Connection c;
  c.Open(ConnectionString());
  WriteLock lock(db_path_);
  bool cancelled = false;
  schema::SetCancelHandler([&] { cancelled = true; });
  boxes_->Push(msgbox::vbCancel);
  EXPECT_EQ(schema::ExecuteDbCommand(c, "Create Table T1 (a INTEGER)"), 2);
  EXPECT_TRUE(cancelled);
  EXPECT_FALSE(c.InTransaction());
  schema::SetCancelHandler(nullptr);
}

class SchemaOnPostgres : public EngineTest {
 protected:
  void SetUp() override {
    backend_ = Backend::Postgres;
    EngineTest::SetUp();
  }
};

TEST_F(SchemaOnPostgres, TablesGetPostgresTypesInTheirCaseASecondRunLeavesThemAndOtherCaseCountsAsMissing) {
  EXPECT_EQ(Table("select table_name from information_schema.tables where table_schema = 'public' "
                  "order by table_name collate \"C\""),
            kTables);
  EXPECT_EQ(Table("select column_name, data_type, coalesce(character_maximum_length, 0) from "
                  "information_schema.columns where table_name = 'Logs' order by ordinal_position"),
            (Lines{"Record|integer|0", "Log_IP|character varying|50", "Log_Port|integer|0", "Log_Data|bytea|0",
                   "Log_Date|timestamp without time zone|0"}));
  EXPECT_EQ(One("select data_type from information_schema.columns where table_name = 'Scores' and "
                "column_name = 'Offset'"),
            "real");
  Exec("insert into Types values (1, 'x', '2026-01-01 00:00:00')");
  schema::CreateDatabaseTables(ConnectionString());   // a database that has them is left alone
  EXPECT_EQ(Count("Types"), 1);
  EXPECT_TRUE(boxes_->shown().empty());

  // A table in another letter case counts as missing; its creation fails as on Jet.
  db_path_ = testkit::PgServer::Shared().CreateDatabase("schema");
  made_.push_back(db_path_);
  Exec("create table players (x integer)");
  boxes_->Push(msgbox::vbNo);
  schema::CreateDatabaseTables(ConnectionString());
  ASSERT_EQ(boxes_->shown().size(), 1u);
  EXPECT_NE(boxes_->shown()[0].text.find("already exists"), std::string::npos) << boxes_->shown()[0].text;
  EXPECT_EQ(One("select count(*) from information_schema.tables where table_schema = 'public'"), "17");
}

std::string DefaultValue(const std::string& key_path) {
  registry::HKEY key;
  if (registry::RegOpenKeyExA(registry::RootKey(registry::Hive::ClassesRoot), key_path,
                              registry::kKeyRead, &key) != registry::kSuccess) return "<missing>";
  std::string v;
  registry::RegQueryValueText(key, "", &v);
  return v;
}

TEST(ComTest, RegisterWritesBothKeysAndTheProgramFolderFollowsThem) {
  testkit::TempDir dir;
  void* lib = dlopen((testkit::BinaryFolder() + "/libtallycore.so").c_str(), RTLD_NOW | RTLD_LOCAL);
  ASSERT_TRUE(lib);
  using RegFn = com::HRESULT (*)();
  ASSERT_EQ(reinterpret_cast<RegFn>(dlsym(lib, "DllRegisterServer"))(), com::S_OK);
  const std::string clsid = tallycore::CLSID_Score_Class.ToString();
  EXPECT_EQ(DefaultValue("Tallycore.Score_Class\\Clsid"), clsid);
  EXPECT_EQ(DefaultValue("Clsid\\" + clsid + "\\InprocServer32"), testkit::BinaryFolder() + "/libtallycore.so");
  EXPECT_EQ(tallycore::LocateProgramFolder("Tallycore.Score_Class", "LIBTALLYCORE.SO", "/default"),
            testkit::BinaryFolder());

  ASSERT_EQ(reinterpret_cast<RegFn>(dlsym(lib, "DllUnregisterServer"))(), com::S_OK);
  EXPECT_EQ(DefaultValue("Clsid\\" + clsid + "\\InprocServer32"), "<missing>");
  EXPECT_EQ(DefaultValue("Tallycore.Score_Class\\Clsid"), "<missing>");
}

}  // namespace
}  // namespace enginetest
