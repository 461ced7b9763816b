// postgres_session: the PostgreSQL backend's Session (private to platform/ado).
//
// One libpq connection per session. Data statements are translated by
// jet_sql with "$n" placeholders, their names quoted in the letter case the
// catalog holds (postgres_sql.h), and kept as prepared statements keyed by
// the statement text (least recently used ones are deallocated).
//
// Jet gives every statement its own atomicity: a failed statement leaves the
// transaction as it was. PostgreSQL instead aborts the whole transaction, so
// a statement that fails inside a transaction is undone back to where it
// started: to a savepoint of its own when its transaction level already
// holds changes, else to the start of the level (the level's savepoint, or
// a new transaction in place of the outermost one), which costs nothing
// while the statement succeeds.
//
// A COMMIT whose answer is lost with the connection may have taken effect
// (the server committed, then could not answer). The transaction's id is
// asked for before COMMIT is sent; when the connection is lost at COMMIT, a
// new connection asks the server how that transaction ended, and a committed
// one counts as a successful Commit (the session is closed then), so that a
// caller never does again what is already stored.
//
// A select's rows arrive whole; the cursor owns them and outlives the
// session. A lost server connection is reported as kErrProvider with a text
// that says so (never "locked" or "duplicate"); the session then fails
// every call, and the next session opens a new connection.
//
// Thread safety: one thread at a time per session.
#pragma once

#include <libpq-fe.h>

#include <chrono>
#include <list>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "backend.h"
#include "postgres_sql.h"

namespace ado::detail {

struct PgOptions {
  int busy_timeout_ms = 250;       // lock_timeout of every statement
  int command_timeout_s = 60;      // statement_timeout; 0: none
  int connect_timeout_s = 10;
  size_t statement_cache = 256;
  bool pooling = true;
  std::string synchronous_commit = "on";   // whatever the server's own setting
  bool utf8_texts = false;                 // Texts=UTF-8: texts read as stored
};

// A server connection with what the session learned on it; pooled between
// sessions (postgres_pool.cpp).
struct PgHandle {
  PGconn* conn = nullptr;
  std::string key;   // connection parameters and settings
  // libpq's connection parameters, for a second connection to the same
  // server (asking how a commit whose answer was lost ended).
  std::vector<std::string> param_keys, param_values;
  // Prepared statements by text, most recently used first.
  std::list<std::pair<std::string, std::string>> lru;   // text, statement name
  std::unordered_map<std::string, std::list<std::pair<std::string, std::string>>::iterator> prepared;
  uint64_t next_name = 0;
  pg::Catalog catalog;
  std::chrono::steady_clock::time_point idle_since;
  // Change stamps (PostgresSession::ChangeStamp): the last one handed out,
  // the server's log position it stands for ("" none), and whether it was
  // handed out inside a writing transaction whose commit is still to come.
  uint64_t stamp = 0;
  std::string stamp_wal;
  bool stamp_pending = false;
  // The row watch (PostgresSession::KeptRowsStamp): whether the database's
  // watch was found whole, and whether making it was tried on this
  // connection since it was last found whole.
  bool watch_whole = false;
  bool watch_tried = false;
};

// Takes an idle handle for `key` whose connection still answers; null when none.
std::unique_ptr<PgHandle> TakePooledPg(const std::string& key);
void GivePooledPg(std::unique_ptr<PgHandle> handle);
void ClosePgHandle(PgHandle& handle);

class PostgresSession : public Session, public jet::ColumnSource, public pg::NameSource {
 public:
  PostgresSession(std::unique_ptr<PgHandle> handle, const PgOptions& options, std::string database);
  ~PostgresSession() override;

  std::unique_ptr<Cursor> Execute(const std::string& statement) override;
  std::unique_ptr<Cursor> ExecuteFirstRow(const std::string& statement) override;
  bool NumberingLock(const std::string& table) override;
  bool NumberFromCounter(const std::string& table, int64_t* number) override;
  void SchemaLock() override;   // released by Close
  void Begin() override;
  void Commit() override;
  void Rollback() override;
  bool InTransaction() const override { return TransactionDepth() > 0; }
  int TransactionDepth() const override;
  // Run() guards a statement of a level that already holds work with a
  // savepoint of its own and undoes a failed one.
  bool FailedStatementsUndone() const override { return true; }
  Rows ProviderTypes() override;
  Rows Tables() override;
  std::vector<jet::Column> Columns(const std::string& table) override;
  void Insert(const std::string& table, const std::vector<std::string>& columns,
              const std::vector<Value>& values) override;
  void Close() override;
  bool IsOpen() const override { return handle_ != nullptr; }
  SessionStats Stats() const override { return stats_; }
  // The server's write-ahead log position stands for the database: it stays
  // where this session's last commit left it only while nobody writes. A
  // stamp asked for inside a writing transaction stands for the position
  // that its commit will leave. Positions are the whole server's, so writes
  // to other databases (and the server's own upkeep) also change the stamp.
  uint64_t ChangeStamp() override;
  // Statement triggers on the watched tables (made when missing, once per
  // connection) count deletions, updates of other than free columns and
  // truncations in a sequence; the stamp is that count with the identity
  // and storage of each watched table (a table made again or emptied has
  // new storage), read with the transaction's BEGIN. Without the whole
  // watch (no right to make triggers, a table without one) it is
  // ChangeStamp.
  void WatchRows(std::vector<RowWatch> tables) override;
  uint64_t KeptRowsStamp() override;

  const std::vector<jet::Column>* ColumnsOf(const std::string& table) override;
  // pg::NameSource
  const std::string* TableNamed(const std::string& name, bool refresh) override;
  const std::string* TableNamedNow(const std::string& name) override;

 private:
  PGconn* Conn();   // throws on a closed session or a lost connection
  // Runs a statement with parameters; prepared when `cacheable`. Inside a
  // transaction a failure undoes the statement alone (see above); `writes`
  // marks the level as holding changes.
  PGresult* Run(const std::string& sql, const std::vector<Value>& params, bool cacheable, bool writes);
  // Execute, with `first_row` asking for one row where the statement allows.
  std::unique_ptr<Cursor> ExecuteStatement(const std::string& statement, bool first_row);
  // Runs a statement; a `guarded` one between SAVEPOINT jet_statement and
  // its RELEASE (left open when the statement fails). Null: the connection
  // failed.
  PGresult* RunOnce(const std::string& sql, const std::vector<Value>& params, bool cacheable, bool guarded);
  void RunSimple(const std::string& sql);   // SAVEPOINT, COMMIT, ...
  Error ErrorOf(const PGresult* result);    // takes the failure of a result (or of the connection)
  std::string AssignedTransactionId();      // "" when the transaction has written nothing
  bool CommittedAfterAll(const std::string& xid);   // asks on a new connection
  std::string WalPosition();                // "" when the server cannot tell
  // After a commit (`committed`) or its failure: the stamp to hand out next.
  // `wal` is the log position read with the commit ("" to read it now).
  void StampAfterCommit(bool committed, const std::string& wal = "");
  // Runs `sql` (statements after a BEGIN or a COMMIT) followed by a read of
  // the log position and, given `watch`, of the row watch's state ("" when
  // not whole), in one round trip; throws the first failure.
  std::string RunAndReadWal(const std::string& sql, std::string* watch = nullptr);
  // The row watch: the query that reads its state (NULL while not whole),
  // and making its missing parts.
  std::string WatchStateQuery() const;
  bool MakeWatch();
  void LoadTables();
  const std::string* LookUpTable(const std::string& name);

  std::unique_ptr<PgHandle> handle_;
  PgOptions options_;
  std::string database_;
  int depth_ = 0;
  bool schema_locked_ = false;   // SchemaLock was taken on this connection
  std::string begin_wal_;        // the log position read with the transaction's BEGIN
  std::vector<RowWatch> watch_;  // the tables KeptRowsStamp watches
  std::string begin_watch_;      // the watch's state read with the BEGIN ("" not whole)
  std::vector<bool> changed_;   // [level]: the level holds changes; [0] unused
  SessionStats stats_;
};

// The cursor of a select: owns the whole result.
class PostgresCursor : public Cursor {
 public:
  PostgresCursor(PGresult* result, bool utf8_texts);
  ~PostgresCursor() override;
  const std::vector<std::string>& Names() const override { return names_; }
  bool Next(std::vector<Value>* row) override;

 private:
  PGresult* result_;
  int row_ = 0;
  std::vector<std::string> names_;
  std::vector<unsigned> types_;
  bool utf8_texts_;
};

// Connects with libpq's parameters; throws Error (kErrProvider) naming
// `database` when the server refuses or cannot be reached.
PGconn* ConnectPg(const std::vector<std::string>& keys, const std::vector<std::string>& values,
                  const std::string& database);

// A result value in text format as the column's type says.
// Texts come through the narrow code page unless `utf8` (Texts=UTF-8).
Value ReadPgValue(const PGresult* result, int row, int column, bool utf8 = false);
// The column kind of a type oid.
jet::ColumnKind KindOfPgType(unsigned oid);
// The error for a failed result: its SQLSTATE decides the class.
Error PgError(const char* sqlstate, const std::string& utf8_message, bool connection_lost);

}  // namespace ado::detail
