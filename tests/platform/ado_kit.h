// The provider tests' kit. ErrorOf: runs `f` and returns the ado::Error it
// throws (a test failure when it throws none); Has: whether the error's
// description holds `word`. AdoTest: a database with the tables the tests
// use, an SQLite file through the Jet provider or a PostgreSQL database of
// its own on the test run's server (Busy Timeout 100 ms).
#pragma once

#include <gtest/gtest.h>

#include "ado.h"
#include "pg_server.h"
#include "test_env.h"

template <typename F> ado::Error ErrorOf(F f) {
  try {
    f();
  } catch (const ado::Error& e) {
    return e;
  }
  ADD_FAILURE() << "no error";
  return ado::Error(0, "");
}

inline bool Has(const ado::Error& e, const char* word) {
  return e.Description().find(word) != std::string::npos;
}

using Grid = std::vector<std::vector<std::string>>;

// Begins a new row on `rs` (opened for adding) with `fields`; Update is the caller's.
inline void AddNew(ado::Recordset& rs, std::initializer_list<std::pair<const char*, ado::Value>> fields) {
  rs.AddNew();
  for (const auto& [name, value] : fields) rs.SetField(name, value);
}

enum class Backend { Sqlite, Postgres };

class AdoTest : public ::testing::Test {
 protected:
  void Open(Backend backend) {
    if (backend == Backend::Sqlite) {
      path_ = dir_.File("test.mdb");
      testkit::Touch(path_);
    } else {
      db_ = testkit::PgServer::Shared().CreateDatabase("ado");
    }
    conn_.Open(ConnectionString());
    // On PostgreSQL, Logs is made with the server's own type names.
    conn_.Execute(db_.empty() ? "Create Table Logs (Record INTEGER Constraint CU7 Unique, Log_IP VARCHAR (50), "
                                "Log_Port INTEGER, Log_Data LONGBINARY, Log_Date DATETIME)"
                              : "Create Table Logs (Record integer Constraint CU7 Unique, Log_IP varchar (50), "
                                "Log_Port integer, Log_Data bytea, Log_Date timestamp)");
    conn_.Execute("Create Table Servers (Record INTEGER Constraint CU12 Unique, Server_Port VARCHAR (6))");
    conn_.Execute("Create Table Scores (Record INTEGER Constraint CU11 Unique, Offset REAL)");
    for (const char* t : {"Maps (Record INTEGER Constraint CU9 Unique, Map VARCHAR (128)",
                          "Players (Record INTEGER Constraint CU10 Unique, Player VARCHAR (50)",
                          "Teams (Record INTEGER Constraint CU15 Unique, Team VARCHAR (50)",
                          "Types (Record INTEGER Constraint CU16 Unique, Type VARCHAR (50)",
                          "Weapons (Record INTEGER Constraint CU17 Unique, Weapon VARCHAR (50)"})
      conn_.Execute(std::string("Create Table ") + t + ", Date_Time DATETIME)");
  }
  void TearDown() override {
    conn_.Close();
    if (!db_.empty()) testkit::PgServer::Shared().DropDatabase(db_);
  }
  std::string ConnectionString(const std::string& extra = "") const {
    if (db_.empty()) return "Provider=Microsoft.Jet.OLEDB.3.51;Data Source=" + path_ + extra;
    return testkit::PgServer::Shared().ConnectionString(db_) + ";Busy Timeout=100" + extra;
  }
  int64_t Count(const std::string& table) {
    return conn_.Execute("Select Count(*) As N From " + table)->Field("N").AsInteger();
  }

  testkit::TempDir dir_;
  std::string path_, db_;   // the SQLite file, or the PostgreSQL database
  ado::Connection conn_;
};
