// Opening databases: provider choice, files that are missing or no
// database, and the settings of the connection string.
#include <gtest/gtest.h>

#include "ado.h"
#include "test_env.h"

namespace {

std::string Jet(const std::string& path) { return "Provider=Microsoft.Jet.OLEDB.3.51;Data Source=" + path; }

// Runs `open` and returns the error it throws (fails the test when none).
template <typename F>
ado::Error OpenError(F open) {
  try {
    open();
  } catch (const ado::Error& e) {
    return e;
  }
  ADD_FAILURE() << "no error";
  return ado::Error(0, "");
}

void ExpectNoLockWords(const ado::Error& e) {
  EXPECT_EQ(e.Description().find("locked"), std::string::npos) << e.Description();
  EXPECT_EQ(e.Description().find("duplicate"), std::string::npos) << e.Description();
}

TEST(AdoOpen, MissingFileIsReportedAndNeverCreated) {
  testkit::TempDir dir;
  const std::string path = dir.File("none.mdb");
  ado::Connection c;
  ado::Error e = OpenError([&] { c.Open(Jet(path)); });
  EXPECT_EQ(e.Number(), ado::kErrProvider);
  EXPECT_NE(e.Description().find("Could not find file '" + path + "'"), std::string::npos) << e.Description();
  ExpectNoLockWords(e);
  EXPECT_FALSE(testkit::Exists(path));
  EXPECT_FALSE(c.IsOpen());

  const std::string in_missing_folder = dir.File("no/such/folder/x.mdb");
  e = OpenError([&] { c.Open("Provider=SQLite;Data Source=" + in_missing_folder); });
  EXPECT_EQ(e.Number(), ado::kErrProvider);
  ExpectNoLockWords(e);
  EXPECT_FALSE(testkit::Exists(dir.File("no")));
}

TEST(AdoOpen, FileThatIsNoDatabaseFailsAtOpenAndIsLeftAlone) {
  testkit::TempDir dir;
  const std::string path = dir.File("notes.mdb");
  const std::string content = "These are notes, not a database; long enough to fill a header...............";
  testkit::WriteFile(path, content);
  ado::Connection c;
  ado::Error e = OpenError([&] { c.Open(Jet(path)); });
  EXPECT_EQ(e.Number(), ado::kErrProvider);
  EXPECT_NE(e.Description().find("Unrecognized database format"), std::string::npos) << e.Description();
  ExpectNoLockWords(e);
  EXPECT_EQ(testkit::ReadFile(path), content);
  EXPECT_FALSE(testkit::Exists(path + "-wal"));
}

TEST(AdoOpen, FolderAsDataSourceIsAnError) {
  testkit::TempDir dir;
  ado::Connection c;
  ado::Error e = OpenError([&] { c.Open(Jet(dir.path())); });
  EXPECT_EQ(e.Number(), ado::kErrProvider);
  ExpectNoLockWords(e);
}

TEST(AdoOpen, EmptyFileIsAnEmptyDatabase) {
  testkit::TempDir dir;
  const std::string path = dir.File("empty.mdb");
  testkit::Touch(path);
  ado::Connection c;
  c.Open(Jet(path) + ";User ID=Admin;User Password=secret;Password=x");
  ASSERT_TRUE(c.IsOpen());
  auto tables = c.OpenSchema(ado::kSchemaTables);
  int user_tables = 0;
  for (; !tables->Eof(); tables->MoveNext())
    if (tables->Field("TABLE_TYPE").AsText() == "TABLE") ++user_tables;
  EXPECT_EQ(user_tables, 0);
  c.Execute("Create Table T (Record INTEGER Constraint CU1 Unique)");
  c.Close();
  EXPECT_FALSE(c.IsOpen());
}

TEST(AdoOpen, ProviderChoice) {
  testkit::TempDir dir;
  const std::string path = dir.File("p.mdb");
  testkit::Touch(path);
  for (const char* name : {"Microsoft.Jet.OLEDB.3.51", "microsoft.jet.oledb.3.51", "SQLite", "sqlite"}) {
    ado::Connection c;
    EXPECT_NO_THROW(c.Open(std::string("Provider=") + name + ";Data Source=" + path)) << name;
  }
  ado::Connection c;
  ado::Error e = OpenError([&] { c.Open("Provider=Microsoft.ACE.OLEDB.12.0;Data Source=" + path); });
  EXPECT_EQ(e.Number(), ado::kErrNoProvider);
  EXPECT_EQ(e.Description(), "Provider cannot be found. It may not be properly installed.");

  e = OpenError([&] { c.Open("Provider=PostgreSQL;Data Source=tally"); });
  EXPECT_EQ(e.Number(), ado::kErrNoProvider);

  e = OpenError([&] { c.Open(""); });
  EXPECT_NE(e.Description().find("empty"), std::string::npos) << e.Description();

  e = OpenError([&] { c.Open("Data Source=" + path); });
  EXPECT_EQ(e.Number(), ado::kErrNoProvider);
  EXPECT_NE(e.Description().find("Provider="), std::string::npos) << e.Description();

  e = OpenError([&] { c.Open("Provider=SQLite"); });
  EXPECT_NE(e.Description().find("Data Source="), std::string::npos) << e.Description();

  e = OpenError([&] { c.Open("Provider=SQLite;Data Source=" + path + ";Journal Mode=OFF"); });
  EXPECT_NE(e.Description().find("Journal Mode"), std::string::npos) << e.Description();
  e = OpenError([&] { c.Open("Provider=SQLite;Data Source=" + path + ";Busy Timeout=soon"); });
  EXPECT_NE(e.Description().find("Busy Timeout"), std::string::npos) << e.Description();
}

TEST(AdoOpen, ConnectionSettings) {
  const std::string cs = "Provider = SQLite ; Data Source=\"/tmp/a;b.db\";user id=Admin;Busy Timeout= 40 ;";
  EXPECT_EQ(ado::ConnectionSetting(cs, "provider"), "SQLite");
  EXPECT_EQ(ado::ConnectionSetting(cs, "Data Source"), "/tmp/a;b.db");
  EXPECT_EQ(ado::ConnectionSetting(cs, "User ID"), "Admin");
  EXPECT_EQ(ado::ConnectionSetting(cs, "Busy Timeout"), "40");
  EXPECT_EQ(ado::ConnectionSetting(cs, "Password"), "");
}

TEST(AdoOpen, OperationsOnAClosedConnectionAreErrors) {
  ado::Connection c;
  EXPECT_THROW(c.Execute("Select 1"), ado::Error);
  EXPECT_THROW(c.BeginTrans(), ado::Error);
  EXPECT_THROW(c.OpenSchema(ado::kSchemaTables), ado::Error);
  EXPECT_NO_THROW(c.Close());
}

}  // namespace
