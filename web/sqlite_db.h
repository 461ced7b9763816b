// sqlite_db: a thin owner of an sqlite3 handle and its prepared statements,
// for tallyweb's own derived file (never the statistics database, which is
// read through ado).
//
// Errors throw DbError (a std::runtime_error) with SQLite's message and
// primary result code. A Db and its statements belong to one thread at a
// time.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <stdexcept>
#include <string>

namespace web {

class DbError : public std::runtime_error {
 public:
  DbError(const std::string& message, int code) : std::runtime_error(message), code_(code & 0xff) {}
  int code() const { return code_; }   // SQLITE_CORRUPT, SQLITE_NOTADB, ...

 private:
  int code_;
};

class Stmt {
 public:
  Stmt(sqlite3* db, const std::string& sql);
  ~Stmt();
  Stmt(const Stmt&) = delete;
  Stmt& operator=(const Stmt&) = delete;

  Stmt& Bind(int i, int64_t v);
  Stmt& Bind(int i, double v);
  Stmt& Bind(int i, const std::string& v);
  Stmt& BindNull(int i);
  bool Step();     // true on a row, false when done
  void Run();      // steps to the end and resets
  void Reset();
  int64_t Int(int col) const;
  double Real(int col) const;
  std::string Text(int col) const;
  bool IsNull(int col) const;

 private:
  sqlite3* db_;
  sqlite3_stmt* st_ = nullptr;
};

class Db {
 public:
  // Opens (read_only) or opens and creates the file.
  Db(const std::string& path, bool read_only);
  ~Db();
  Db(const Db&) = delete;
  Db& operator=(const Db&) = delete;
  void Exec(const std::string& sql);
  sqlite3* handle() const { return db_; }

 private:
  sqlite3* db_ = nullptr;
};

}  // namespace web
