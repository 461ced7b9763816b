// Test helpers: a fresh temporary folder per test, with the registry and the
// data folder pointed into it, and small file utilities.
#pragma once

#include <string>
#include <vector>

struct sqlite3;

namespace testkit {

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

}  // namespace testkit
