// sqlite_db: a thin owner of an sqlite3 handle and its prepared statements,
// for tallyweb's own derived file (never the statistics database, which is
// read through ado).
//
// Errors throw DbError (a std::runtime_error) with SQLite's message and
// primary result code. A Db and its statements belong to one thread at a
// time.
//
// A Db keeps the statements it has compiled: a Stmt made on the Db (rather
// than on its bare handle) takes the idle compiled form of its text when
// there is one and leaves it behind, reset and unbound, when it ends, so a
// text run again and again (a statement per row of a page) is compiled once.
// Two Stmts of one text at once each have their own. Such a Stmt must end
// before its Db.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <unordered_map>

namespace web {

class DbError : public std::runtime_error {
 public:
  DbError(const std::string& message, int code) : std::runtime_error(message), code_(code & 0xff) {}
  int code() const { return code_; }   // SQLITE_CORRUPT, SQLITE_NOTADB, ...

 private:
  int code_;
};

class Db;

class Stmt {
 public:
  Stmt(sqlite3* db, const std::string& sql);
  Stmt(Db& db, const std::string& sql);   // from the Db's compiled statements
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
  Db* owner_ = nullptr;   // set: st_ goes back to its idle statements
  std::string sql_;
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

  // The most idle compiled statements kept; one more is finalized instead.
  static constexpr size_t kIdleStatements = 128;

 private:
  friend class Stmt;
  sqlite3* db_ = nullptr;
  std::unordered_map<std::string, sqlite3_stmt*> idle_;
};

}  // namespace web
