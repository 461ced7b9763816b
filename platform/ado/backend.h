// backend: the seam between the ado classes and a database backend.
//
// A Session is one open database of one backend. It takes statements in the
// Jet dialect (narrow strings) and gives them Jet's meaning (jet_sql.h);
// it reports failures as ado::Error with the numbers and words of ado.h.
// Every difference between backends lives behind this interface, so a new
// backend is a new Session plus one line in OpenSession().
//
// A Cursor reads a query's rows forward. A backend may fetch lazily, but a
// cursor must stay usable whatever the caller does next on the session and
// after the session closes (the SQLite session reads the rest of a pending
// cursor into memory before it runs anything else).
//
// Ownership: Connection and Recordset share a Session through shared_ptr.
// Thread safety: a Session and its cursors belong to one thread at a time.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ado.h"
#include "jet_sql.h"

namespace ado::detail {

class Cursor {
 public:
  virtual ~Cursor() = default;
  virtual const std::vector<std::string>& Names() const = 0;
  // Fetches the next row; false at the end.
  virtual bool Next(std::vector<Value>* row) = 0;
};

// Whole rows, for the schema rowsets.
struct Rows {
  std::vector<std::string> names;
  std::vector<std::vector<Value>> rows;
};

// Counters for tests and measurements.
struct SessionStats {
  uint64_t prepares = 0;       // statements compiled by the backend
  uint64_t rows_fetched = 0;   // rows the backend produced (queries and internal reads)
};

class Session {
 public:
  virtual ~Session() = default;

  // Runs one Jet statement. Returns a cursor when the statement yields result
  // columns (a select), else null after running it to the end.
  virtual std::unique_ptr<Cursor> Execute(const std::string& statement) = 0;
  // Execute for a caller that reads the first row at most: a backend that
  // would produce every row first (PostgreSQL) asks for one. The default
  // runs Execute.
  virtual std::unique_ptr<Cursor> ExecuteFirstRow(const std::string& statement) { return Execute(statement); }

  // Transactions nest. Begin at depth 0 starts the write transaction (on
  // SQLite BEGIN IMMEDIATE: the write lock is taken at once, waiting the busy
  // timeout); Begin inside it opens a savepoint. Commit of a savepoint
  // releases it (its work stays in the enclosing level), Rollback of a
  // savepoint undoes only its work; at depth 1 they end the transaction. A
  // failed Begin leaves the depth unchanged; a failed Commit at depth 1 (a
  // lock met at commit) keeps the transaction so that it can be retried.
  virtual void Begin() = 0;
  virtual void Commit() = 0;
  virtual void Rollback() = 0;
  virtual bool InTransaction() const = 0;
  virtual int TransactionDepth() const = 0;   // 0 outside a transaction
  // True when a statement that fails inside a transaction leaves nothing of
  // its own work and the transaction goes on as before it, so that a caller
  // needs no savepoint to undo a failed statement. The default, false, keeps
  // callers' savepoints for sessions that wrap another.
  virtual bool FailedStatementsUndone() const { return false; }

  virtual Rows ProviderTypes() = 0;   // OpenSchema 22
  virtual Rows Tables() = 0;          // OpenSchema 20

  // The columns of a table in creation order; throws when there is no such
  // table. Reads no rows of the table.
  virtual std::vector<jet::Column> Columns(const std::string& table) = 0;

  // Inserts one row; `values` match `columns` (names of the table's columns).
  virtual void Insert(const std::string& table, const std::vector<std::string>& columns,
                      const std::vector<Value>& values) = 0;

  // Ends the session: an open transaction is rolled back. Idempotent.
  virtual void Close() = 0;
  virtual bool IsOpen() const = 0;
  virtual SessionStats Stats() const = 0;

  // A number that stays the same between two calls only when no other
  // connection has changed the database in between (this session's own
  // changes do not count); 0 when the backend cannot tell.
  virtual uint64_t ChangeStamp() { return 0; }
  // See Connection::WatchRows and KeptRowsStamp.
  virtual void WatchRows(std::vector<RowWatch> /*tables*/) {}
  virtual uint64_t KeptRowsStamp() { return ChangeStamp(); }

  // Several programs writing one database: NumberingLock makes the calling
  // transaction the only one numbering new rows of `table` until it ends
  // (nothing where the write transaction already holds the whole database,
  // as on SQLite); SchemaLock makes this session the only one changing the
  // tables until it closes. Both wait for another holder and fail as a lock
  // conflict when it outlasts the busy timeout. NumberingLock returns true
  // when it took a lock, that is when another program may have written the
  // table since this transaction last read it.
  virtual bool NumberingLock(const std::string& /*table*/) { return false; }
  // Numbers a new row of `table` from a counter that the database keeps for
  // it, above the table's largest Record, so that programs sharing the
  // database number rows side by side without waiting for one another's
  // commits. False where the backend keeps no counters: the caller numbers
  // from the largest Record under NumberingLock. Needs a transaction.
  virtual bool NumberFromCounter(const std::string& /*table*/, int64_t* /*number*/) { return false; }
  virtual void SchemaLock() {}
};

// One row of a backend's provider-types rowset (OpenSchema 22): flags are 1,
// 0, or -1 for none (null).
struct TypeRow {
  const char* name;
  int data_type;
  int64_t column_size;
  const char* prefix;   // null: none
  const char* suffix;
  int is_long;
  int best_match;
};
// The rowset of a backend's type rows, with the columns OpenSchema 22 has.
Rows ProviderTypeRowset(const TypeRow* rows, size_t count);

// Opens the session that the connection string's Provider= names. Throws Error.
std::shared_ptr<Session> OpenSession(const std::string& connection_string);

// The Texts= setting of a connection string: "Narrow" (the default: texts
// read through the narrow code page, characters above U+00FF as "?") or
// "UTF-8" (texts read as the database holds them, for programs that show
// them as UTF-8). Throws Error(kErrProvider) for another value.
bool ReadsUtf8Texts(const ConnectionSettings& connection_string);

// The SQLite backend (sqlite_backend.cpp).
std::shared_ptr<Session> OpenSqliteSession(const std::string& connection_string);
// The PostgreSQL backend (postgres_backend.cpp).
std::shared_ptr<Session> OpenPostgresSession(const std::string& connection_string);
// A backend's part of CheckConnectionString (ado.h): the checks its Open
// makes of the settings before it opens anything, and nothing else.
void CheckSqliteSettings(const std::string& connection_string);
void CheckPostgresSettings(const std::string& connection_string);

// A process-wide wrapper applied to every session that Connection::Open opens
// (the tests' fault injection, the engine fuzz target's outer transaction);
// empty function: none.
using SessionDecorator = std::function<std::shared_ptr<Session>(std::shared_ptr<Session>)>;
void SetSessionDecorator(SessionDecorator decorator);

}  // namespace ado::detail
