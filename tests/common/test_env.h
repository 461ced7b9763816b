// Test helpers: a fresh temporary folder per test, with the registry and the
// data folder pointed into it, and small file utilities.
#pragma once

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "env.h"

struct sqlite3;

namespace testkit {

// An Env for tests (env.h), installed for the whole process while it lives
// (the previous one comes back on destruction). Its local clock stands at the
// time set with SetLocalNow, else runs as the platform's; variables set with
// SetVariable hide the process's (nullopt: unset). Install it before the code
// under test starts threads of its own.
class TestEnv : public env::Env {
 public:
  TestEnv();
  ~TestEnv() override;
  TestEnv(const TestEnv&) = delete;
  TestEnv& operator=(const TestEnv&) = delete;

  void SetLocalNow(double serial) { local_now_ = serial; }
  void SetVariable(const std::string& name, std::optional<std::string> value) {
    variables_[name] = std::move(value);
  }

  double LocalNow() override;
  std::chrono::system_clock::time_point WallClock() override;
  std::optional<std::string> Variable(const std::string& name) override;

 private:
  env::Env* previous_;
  std::optional<double> local_now_;
  std::map<std::string, std::optional<std::string>> variables_;
};

// Creates a unique temporary folder and removes it on destruction. While it
// lives, TALLY_REGISTRY points to <dir>/registry and XDG_DATA_HOME to
// <dir>/data (the previous values come back on destruction).
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
  std::string old_registry_, old_data_;
  bool had_registry_ = false, had_data_ = false;
};

// Creates an empty file (an empty SQLite database is a 0-byte file).
void Touch(const std::string& path);
std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& bytes);
bool Exists(const std::string& path);

// The folder that holds the test programs (and libtallycore.so).
std::string BinaryFolder();

// Direct SQL on an SQLite file, from a handle of its own. SqlRows gives
// texts and blobs as stored, integers in decimal, reals with %g and NULL as
// "NULL" (a test failure when the statement cannot run); SqlExec gives
// SQLite's result code.
std::vector<std::vector<std::string>> SqlRows(const std::string& db_path, const std::string& sql);
int SqlExec(const std::string& db_path, const std::string& sql);

// Holds an SQLite file's write lock (BEGIN IMMEDIATE) from a handle of its
// own; the constructor throws std::runtime_error when the lock is taken.
class WriteLock {
 public:
  explicit WriteLock(const std::string& db_path);
  ~WriteLock() { Release(); }
  WriteLock(const WriteLock&) = delete;
  WriteLock& operator=(const WriteLock&) = delete;
  void Exec(const std::string& sql);   // inside the held transaction
  void Commit();
  void Release();                      // rolls back

 private:
  ::sqlite3* db_ = nullptr;
};

// Runs the sqlite3 shell, a program of its own, on an SQLite file with the
// statements `sql`; gives its standard output and error. Empty when the
// shell is missing (see HaveSqliteShell).
std::string OutsideSqlite(const std::string& db_path, const std::string& sql);
bool HaveSqliteShell();

// A loopback UDP port that is free at this moment.
int FreeUdpPort();

}  // namespace testkit
