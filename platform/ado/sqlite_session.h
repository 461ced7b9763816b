// sqlite_session: the SQLite backend's Session (private to platform/ado).
//
// One sqlite3 connection per session, opened read-write and never created.
// Data statements are translated by jet_sql with "?n" placeholders; their
// compiled forms are kept in a small cache keyed by the statement text.
// A select's cursor steps the live statement as rows are wanted; before the
// session runs anything else (or closes) it reads the rest of that cursor
// into memory, so no statement stays pending across operations (a pending
// statement would hold an old read snapshot and make writes fail).
//
// Thread safety: one thread at a time per session (the connection is opened
// without SQLite's own mutex).
#pragma once

#include <sqlite3.h>

#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "backend.h"
#include "sqlite_pool.h"

namespace ado::detail {

class SqliteCursor;

struct SqliteOptions {
  int busy_timeout_ms = 250;
  std::string journal_mode = "WAL";
  std::string synchronous;   // empty: NORMAL with WAL, FULL otherwise
  size_t statement_cache = 512;   // compiled statements kept, least recently used dropped first
  bool pooling = true;   // keep the handle for the next session on the file
  long long max_page_count = 0;   // 0: SQLite's own limit (a smaller one stands in for a full disk)
  bool read_only = false;   // Mode=Read: opened read-only, the file must be in WAL mode
  bool utf8_texts = false;  // Texts=UTF-8: texts read as stored
};

class SqliteSession : public Session, public jet::ColumnSource {
 public:
  SqliteSession(sqlite3* db, std::string path, const SqliteOptions& options);
  // A session on a handle taken from the pool.
  SqliteSession(PooledHandle handle, std::string path, const SqliteOptions& options);
  void SetPoolIdentity(std::string key, const FileIdentity& file) {
    pool_key_ = std::move(key);
    file_ = file;
  }
  ~SqliteSession() override;

  std::unique_ptr<Cursor> Execute(const std::string& statement) override;
  void Begin() override;
  void Commit() override;
  void Rollback() override;
  bool InTransaction() const override;
  int TransactionDepth() const override;
  bool FailedStatementsUndone() const override { return true; }
  uint64_t ChangeStamp() override;
  Rows ProviderTypes() override;
  Rows Tables() override;
  std::vector<jet::Column> Columns(const std::string& table) override;
  void Insert(const std::string& table, const std::vector<std::string>& columns,
              const std::vector<Value>& values) override;
  void Close() override;
  bool IsOpen() const override { return db_ != nullptr; }
  SessionStats Stats() const override { return stats_; }

  const std::vector<jet::Column>* ColumnsOf(const std::string& table) override;

 private:
  friend class SqliteCursor;
  sqlite3_stmt* Acquire(const std::string& sql, bool cacheable);
  void Release(const std::string& sql, sqlite3_stmt* stmt, bool cacheable);
  void Bind(sqlite3_stmt* stmt, const std::vector<Value>& params);
  int Step(sqlite3_stmt* stmt);
  void RunSimple(const std::string& sql);   // BEGIN, COMMIT, ...: no rows, cached
  void Prepare();                           // before every operation
  Error LastError(int rc) const;
  bool Poolable() const;   // no transaction and no statement pending
  // Forgets the remembered columns when the schema changed since they were
  // read (once per session, at the first column look-up: inside a pass's
  // transaction, where it costs no lock of its own).
  void CheckSchema();

  sqlite3* db_;
  std::string path_;
  SqliteOptions options_;
  StatementCache cache_;   // statements not in use, by translated text
  std::unordered_map<std::string, std::vector<jet::Column>> columns_;   // by lower-case table name
  int64_t schema_version_ = -1;   // the schema version columns_ belongs to; -1 unknown
  bool schema_checked_ = false;   // set by CheckSchema
  SqliteCursor* live_ = nullptr;
  int depth_ = 0;   // transaction levels opened by Begin
  uint64_t serial_ = 0;   // the handle's number (see ChangeStamp)
  SessionStats stats_;
  std::string pool_key_;   // empty: not pooled
  FileIdentity file_;      // the file the handle has open
  FileIdentity wal_;       // its write-ahead log, once known
};

// The cursor of a select.
class SqliteCursor : public Cursor {
 public:
  SqliteCursor(SqliteSession* session, sqlite3_stmt* stmt, std::string sql, bool cacheable, bool has_row);
  ~SqliteCursor() override;
  const std::vector<std::string>& Names() const override { return names_; }
  bool Next(std::vector<Value>* row) override;

  // Reads the remaining rows into memory and gives the statement back.
  void Detach();

 private:
  std::vector<Value> ReadRow();
  void Finish();

  SqliteSession* session_;
  sqlite3_stmt* stmt_;
  std::string sql_;
  bool cacheable_;
  bool has_row_;   // the statement stands on a row not yet read
  std::vector<std::string> names_;
  std::vector<jet::ColumnKind> kinds_;
  bool utf8_texts_;
  std::deque<std::vector<Value>> buffer_;
  std::optional<Error> deferred_;   // a failure met while detaching
};

// How a declared SQLite type reads and stores (DATETIME, VARCHAR (50), ...).
jet::ColumnKind KindOfDeclaredType(const std::string& declared);
// Reads one result column as the declared kind says.
// Texts come through the narrow code page unless `utf8` (Texts=UTF-8).
Value ReadSqliteColumn(sqlite3_stmt* stmt, int i, jet::ColumnKind kind, bool utf8 = false);
// The error for an SQLite failure code (extended) and its message.
Error SqliteError(int rc, const std::string& utf8_message);

}  // namespace ado::detail
