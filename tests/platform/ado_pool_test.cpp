// Reuse of idle SQLite connections: what may never be served from the pool.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstdio>

#include "ado.h"
#include "backend.h"
#include "test_env.h"

namespace {

class AdoPool : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = dir_.File("pool.db");
    testkit::Touch(path_);
    ado::Connection c;
    c.Open(Cs());
    c.Execute("Create Table Types (Record INTEGER Constraint CU16 Unique, Type VARCHAR (50), Date_Time DATETIME)");
  }
  std::string Cs() const { return "Provider=SQLite;Data Source=" + path_ + ";Busy Timeout=0"; }
  int RawExec(const std::string& sql) {
    sqlite3* db;
    sqlite3_open_v2(path_.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr);
    int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr);
    sqlite3_close(db);
    return rc;
  }
  testkit::TempDir dir_;
  std::string path_;
};

TEST_F(AdoPool, AReusedConnectionCompilesNothingAgainAndHoldsNoLockWhileIdle) {
  for (int i = 1; i <= 2; ++i) {
    ado::Connection c;
    c.Open(Cs());
    c.Execute("Insert into Types values ( " + std::to_string(i) + ", 'x', #2026-01-01# )");
    if (i == 2) {
      EXPECT_EQ(c.session().Stats().prepares, 0u);   // the statement was kept
    }
    c.Close();
    // Idle in the pool, the handle keeps nothing locked.
    EXPECT_EQ(RawExec("BEGIN EXCLUSIVE; ROLLBACK;"), SQLITE_OK);
  }
}

TEST_F(AdoPool, AFileReplacedAtThePathIsNeverServedByTheOldHandle) {
  {
    ado::Connection c;
    c.Open(Cs());
    c.Execute("Insert into Types values ( 1, 'old', #2026-01-01# )");
  }
  std::remove(path_.c_str());
  std::remove((path_ + "-wal").c_str());
  std::remove((path_ + "-shm").c_str());
  ado::Connection missing;
  EXPECT_THROW(missing.Open(Cs()), ado::Error);
  testkit::Touch(path_);
  ado::Connection fresh;
  fresh.Open(Cs());
  EXPECT_THROW(fresh.Execute("Select Record From Types"), ado::Error);   // a new, empty database
}

TEST_F(AdoPool, TablesChangedByAnotherProgramMeanwhileAreReadAnew) {
  {
    ado::Connection c;
    c.Open(Cs());
    c.Execute("Insert into Types values ( 1, 'a', #2026-01-01# )");
  }
  // Another program puts the date-time column first.
  ASSERT_EQ(RawExec("DROP TABLE Types; CREATE TABLE Types (Date_Time DATETIME, Record INTEGER, Type VARCHAR (50));"),
            SQLITE_OK);
  ado::Connection c;
  c.Open(Cs());
  c.Execute("Insert into Types values ( #2026-02-03 04:05:06#, 7, 'b' )");
  auto rs = c.Execute("Select Date_Time From Types where Record=7");
  ASSERT_FALSE(rs->Eof());
  EXPECT_EQ(rs->Field("Date_Time").AsText(), "2026-02-03 04:05:06");
}

TEST_F(AdoPool, OtherSettingsOnTheSameFileCloseTheIdleHandle) {
  { ado::Connection c; c.Open(Cs()); }
  ado::Connection d;
  EXPECT_NO_THROW(d.Open(Cs() + ";Journal Mode=DELETE"));   // needs the file to itself
  d.Close();
  ado::Connection e;
  e.Open(Cs() + ";Pooling=False");
  e.Close();
  EXPECT_EQ(RawExec("BEGIN EXCLUSIVE; ROLLBACK;"), SQLITE_OK);
}

}  // namespace
