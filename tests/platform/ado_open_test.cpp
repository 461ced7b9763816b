// Opening databases: providers, bad files, connection string settings, and
// what the pool of idle SQLite connections may never serve.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstdio>
#include <filesystem>
#include <functional>

#include "ado_kit.h"
#include "backend.h"
#include "test_env.h"

namespace {

std::string Jet(const std::string& path) { return "Provider=Microsoft.Jet.OLEDB.3.51;Data Source=" + path; }

// How many of this process's file descriptors have `path` open.
int OpenDescriptors(const std::string& path) {
  const std::filesystem::path file = std::filesystem::canonical(path);
  int n = 0;
  for (const auto& fd : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code ec;
    n += std::filesystem::read_symlink(fd.path(), ec) == file;
  }
  return n;
}

// Fail to open (neither lock nor duplicate) and are left as they were.
TEST(AdoOpen, MissingFilesFoldersAndNonDatabasesFailAndAreLeftAsTheyWere) {
  testkit::TempDir dir;
  const std::string missing = dir.File("none.mdb"), notes = dir.File("notes.mdb");
  const std::string content = "These are notes, not a database; long enough to fill a header...............";
  testkit::WriteFile(notes, content);
  const std::pair<std::string, std::string> cases[] = {
      {Jet(missing), "Could not find file '" + missing + "'"},
      {"Provider=SQLite;Data Source=" + dir.File("no/such/x.mdb"), ""},
      {Jet(dir.path()), ""},   // a folder
      {Jet(notes), "Unrecognized database format"}};
  ado::Connection c;
  for (const auto& [cs, words] : cases) {
    ado::Error e = ErrorOf([&] { c.Open(cs); });
    EXPECT_EQ(e.Number(), ado::kErrProvider) << cs;
    EXPECT_TRUE(Has(e, words.c_str())) << e.Description();
    EXPECT_FALSE(Has(e, "locked") || Has(e, "duplicate")) << e.Description();
    EXPECT_FALSE(c.IsOpen());
  }
  EXPECT_FALSE(testkit::Exists(missing));
  EXPECT_FALSE(testkit::Exists(dir.File("no")));
  EXPECT_EQ(testkit::ReadFile(notes), content);
  EXPECT_FALSE(testkit::Exists(notes + "-wal"));
}

TEST(AdoOpen, EmptyFileIsAnEmptyDatabase) {
  testkit::TempDir dir;
  const std::string path = dir.File("empty.mdb");
  testkit::Touch(path);
  ado::Connection c;
  c.Open(Jet(path) + ";User ID=Admin;User Password=secret;Password=x");
  ado::Error again = ErrorOf([&] { c.Open(Jet(path)); });
  EXPECT_EQ(again.Number(), ado::kErrState);
  EXPECT_EQ(again.Description(), "Operation is not allowed when the object is open.");
  EXPECT_TRUE(c.IsOpen());
  int user_tables = 0;
  for (auto t = c.OpenSchema(ado::kSchemaTables); !t->Eof(); t->MoveNext())
    user_tables += t->Field("TABLE_TYPE").AsText() == "TABLE";
  EXPECT_EQ(user_tables, 0);
  c.Execute("Create Table T (Record INTEGER Constraint CU1 Unique)");
  c.Close();
  EXPECT_FALSE(c.IsOpen());
  for (const auto& closed : std::vector<std::function<void()>>{
           [&] { c.Execute("Select 1"); }, [&] { c.BeginTrans(); },
           [&] { c.OpenSchema(ado::kSchemaTables); }}) {
    ado::Error e = ErrorOf(closed);
    EXPECT_EQ(e.Number(), ado::kErrState);
    EXPECT_EQ(e.Description(), "Operation is not allowed when the object is closed.");
  }
  EXPECT_NO_THROW(c.Close());
}

TEST(AdoOpen, ProviderChoiceAndSettings) {
  testkit::TempDir dir;
  const std::string path = dir.File("p.mdb");
  testkit::Touch(path);
  for (const char* name : {"Microsoft.Jet.OLEDB.3.51", "microsoft.jet.oledb.3.51", "SQLite", "sqlite"}) {
    ado::Connection c;
    EXPECT_NO_THROW(c.Open(std::string("Provider=") + name + ";Data Source=" + path)) << name;
  }
  ado::Connection c;
  ado::Error e = ErrorOf([&] { c.Open("Provider=Microsoft.ACE.OLEDB.12.0;Data Source=" + path); });
  EXPECT_EQ(e.Number(), ado::kErrNoProvider);
  EXPECT_EQ(e.Description(), "Provider cannot be found. It may not be properly installed.");
  // The PostgreSQL provider is built in: with no server it fails to connect.
  EXPECT_EQ(ErrorOf([&] { c.Open("Provider=PostgreSQL;Data Source=tally;Location=" + path + ".none"); }).Number(),
            ado::kErrProvider);
  e = ErrorOf([&] { c.Open("Data Source=" + path); });
  EXPECT_EQ(e.Number(), ado::kErrNoProvider);
  EXPECT_TRUE(Has(e, "Provider=")) << e.Description();
  const std::string sqlite = "Provider=SQLite;Data Source=" + path;
  const std::pair<std::string, const char*> bad[] = {
      {"", "empty"}, {"Provider=SQLite", "Data Source="}, {sqlite + ";Journal Mode=OFF", "Journal Mode"},
      {sqlite + ";Busy Timeout=soon", "Busy Timeout"}, {sqlite + ";Busy Timeout=600001", "Busy Timeout"},
      {sqlite + ";Busy Timeout=-1", "Invalid Busy Timeout setting '-1': milliseconds (0 to 600000) expected."}};
  for (const auto& [cs, word] : bad) EXPECT_TRUE(Has(ErrorOf([&] { c.Open(cs); }), word)) << cs;
  EXPECT_NO_THROW(c.Open(sqlite + ";Busy Timeout=600000"));
  c.Close();
}

class AdoPool : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = dir_.File("pool.db");
    testkit::Touch(path_);
    Open().Execute("Create Table Types (Record INTEGER Constraint CU16 Unique, Type VARCHAR (50), Date_Time DATETIME)");
  }
  ado::Connection& Open(const std::string& extra = "") {
    conn_ = std::make_unique<ado::Connection>();
    conn_->Open("Provider=SQLite;Data Source=" + path_ + ";Busy Timeout=0" + extra);
    return *conn_;
  }
  testkit::TempDir dir_;
  std::string path_;
  std::unique_ptr<ado::Connection> conn_;
};

TEST_F(AdoPool, AReusedConnectionCompilesNothingAgainAndHoldsNoLockWhileIdle) {
  for (int i = 1; i <= 2; ++i) {
    Open().Execute("Insert into Types values ( " + std::to_string(i) + ", 'x', #2026-01-01# )");
    if (i == 2) {
      EXPECT_EQ(conn_->session().Stats().prepares, 0u);   // the statement was kept
    }
    conn_->Close();
    EXPECT_EQ(testkit::SqlExec(path_, "BEGIN EXCLUSIVE; ROLLBACK;"), SQLITE_OK);   // idle in the pool, nothing locked
  }
  // Other settings on the same file close the idle handle.
  EXPECT_NO_THROW(Open(";Journal Mode=DELETE"));   // needs the file to itself
  {
    // A recordset still open when its connection closes holds no lock either.
    auto rs = conn_->Execute("Select Record From Types");
    ASSERT_FALSE(rs->Eof());
    conn_->Close();
    EXPECT_EQ(testkit::SqlExec(path_, "BEGIN EXCLUSIVE; ROLLBACK;"), SQLITE_OK);
  }
  Open(";Pooling=False").Close();
  EXPECT_EQ(testkit::SqlExec(path_, "BEGIN EXCLUSIVE; ROLLBACK;"), SQLITE_OK);
  EXPECT_EQ(OpenDescriptors(path_), 0);   // not kept: the file is closed
  Open().Close();
  EXPECT_GT(OpenDescriptors(path_), 0);   // kept for the next Open
}

// Changed by another program while idle in the pool: never served the old handle or columns.
TEST_F(AdoPool, FilesAndTablesChangedByAnotherProgramMeanwhileAreReadAnew) {
  Open().Execute("Insert into Types values ( 1, 'a', #2026-01-01# )");
  conn_.reset();
  const uint64_t stamp = Open(";Pooling=False").ChangeStamp();   // a handle of its own, as the next
  conn_.reset();
  ASSERT_EQ(testkit::SqlExec(path_, "DROP TABLE Types; "
                                    "CREATE TABLE Types (Date_Time DATETIME, Record INTEGER, Type VARCHAR (50));"),
            SQLITE_OK);
  EXPECT_NE(Open(";Pooling=False").ChangeStamp(), stamp);
  conn_.reset();
  Open().Execute("Insert into Types values ( #2026-02-03 04:05:06#, 7, 'b' )");
  EXPECT_EQ(conn_->Execute("Select Date_Time From Types where Record=7")->Field("Date_Time").AsText(),
            "2026-02-03 04:05:06");
  conn_.reset();
  for (const char* suffix : {"", "-wal", "-shm"}) std::remove((path_ + suffix).c_str());
  EXPECT_THROW(Open(), ado::Error);
  testkit::Touch(path_);
  ASSERT_NO_THROW(Open());
  EXPECT_THROW(conn_->Execute("Select Record From Types"), ado::Error);   // a new, empty database
}

TEST_F(AdoPool, AReaderNeverWritesAndNeverMakesAWriterWait) {
  Open().Execute("Insert into Types values ( 1, 'a', #2026-01-01# )");
  Open().Execute("Insert into Types values ( 2, 'b', #2026-01-01# )");
  conn_.reset();
  ado::Connection reader;
  reader.Open("Provider=SQLite;Data Source=" + path_ + ";Busy Timeout=0;Mode=Read");
  auto rs = reader.Execute("Select Record From Types where Record > 0 Order By Record");
  ASSERT_FALSE(rs->Eof());   // the read stands on its first row, its snapshot open
  EXPECT_EQ(testkit::SqlExec(path_, "INSERT INTO Types VALUES (3, 'c', '2026-01-01 00:00:00')"), SQLITE_OK);
  EXPECT_NE(ErrorOf([&] { reader.Execute("Insert into Types values ( 4, 'd', #2026-01-01# )"); }).Number(), 0);
  EXPECT_THROW(reader.BeginTrans(), ado::Error);
  rs = reader.Execute("Select Record From Types where Record > 1");
  int count = 0;
  for (; !rs->Eof(); rs->MoveNext()) ++count;
  EXPECT_EQ(count, 2);   // 2 and the writer's 3, none of its own
  reader.Close();

  // A file in another journal mode is refused, and left in that mode.
  const std::string other = dir_.File("delete.db");
  testkit::Touch(other);
  ASSERT_EQ(testkit::SqlExec(other, "CREATE TABLE t (x INTEGER)"), SQLITE_OK);
  ado::Error e = ErrorOf([&] { reader.Open("Provider=SQLite;Data Source=" + other + ";Mode=Read"); });
  EXPECT_EQ(e.Number(), ado::kErrProvider);
  EXPECT_TRUE(Has(e, "WAL")) << e.Description();
  EXPECT_EQ(testkit::SqlRows(other, "PRAGMA journal_mode")[0][0], "delete");
  EXPECT_TRUE(Has(ErrorOf([&] { reader.Open("Provider=SQLite;Data Source=" + path_ + ";Mode=Write"); }), "Mode"));
}

}  // namespace
