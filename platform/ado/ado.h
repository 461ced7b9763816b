// ado: the database access layer that both programs use, shaped after ADO.
//
// A Connection opens a database named by a connection string whose
// "Provider=" setting picks a backend ("Microsoft.Jet.OLEDB.3.51" and
// "SQLite" open a SQLite file, "PostgreSQL" a PostgreSQL database). Callers
// write statements in the Jet dialect (see jet_sql.h) and never learn which
// backend runs them. Failures are thrown as ado::Error with a 32-bit number
// and a description; lock conflicts and unique-key violations carry
// kErrProvider and the words "locked" and "duplicate"; other failures never
// carry kErrProvider together with either word. Each also carries its kind
// (ErrorKind), by which callers decide.
//
// Texts crossing this layer are narrow strings, one byte per character
// (ISO-8859-1), converted to and from the backend's UTF-8 by codepage.h: a
// narrow text that happens to be valid UTF-8 is passed on unchanged (so it
// reads back as the characters it encodes), and characters above U+00FF read
// back as "?". Only texts that are not valid UTF-8, or are plain ASCII,
// survive a round trip byte for byte.
//
// Ownership: a Recordset returned by Execute or OpenSchema owns its rows and
// stays valid after the Connection is closed. On SQLite the rows of a select
// are fetched as the caller reaches them; when the connection runs its next
// statement, transaction call or Close while such a recordset is still
// unfinished, the rest of its rows are read into it first (close recordsets
// early: an unfinished one over a large table costs a full read). On
// PostgreSQL a select's whole result is read when it runs. A Recordset
// opened for adding rows holds a reference to its Connection's session.
//
// Thread safety: a Connection and its recordsets belong to one thread at a
// time. Separate Connections are independent, also on one database file.
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace ado {

// Error numbers, as the system classifies them.
constexpr int32_t kErrProvider = -2147467259;     // 0x80004005: locks, duplicates, open failures
constexpr int32_t kErrCommand = -2147217900;      // 0x80040E14: a statement the database rejects
constexpr int32_t kErrConversion = -2147217913;   // 0x80040E07: a value of the wrong type
constexpr int32_t kErrNoProvider = -2146824582;   // 0x800A0E7A: provider cannot be found
constexpr int32_t kErrState = -2146824584;        // 0x800A0E78: operation not allowed in this state
constexpr int32_t kErrEof = -2146825267;          // 0x800A0BCD: no current record
constexpr int32_t kErrNoField = -2146825023;      // 0x800A0CC1: item not found in the collection
constexpr int32_t kErrDataOverflow = -2147217833; // 0x80040E57: a text too long for its column
constexpr int32_t kErrIntegrity = -2147217873;    // 0x80040E2F: a constraint other than unique

// Unavailable() marks a failure of the database itself rather than of a
// statement (full disk, input/output error, unreadable or damaged file, lost
// server connection): the work of an open transaction cannot go on, and the
// same work may succeed once the database is back.
// What a failure means to a caller that may retry it, set by the backend
// from its own result codes (one table per backend), never read from the
// words of a message.
enum class ErrorKind {
  Other,
  Locked,       // another session holds what the statement needs: waiting may help
  Duplicate,    // a unique key would repeat
  Unavailable,  // the database as a whole failed (connection lost, disk full, ...)
};

class Error : public std::runtime_error {
 public:
  Error(int32_t number, const std::string& description, bool unavailable = false, ErrorKind kind = ErrorKind::Other)
      : std::runtime_error(description),
        number_(number),
        description_(description),
        kind_(unavailable ? ErrorKind::Unavailable : kind) {}
  int32_t Number() const { return number_; }
  const std::string& Description() const { return description_; }
  ErrorKind Kind() const { return kind_; }
  bool Unavailable() const { return kind_ == ErrorKind::Unavailable; }

 private:
  int32_t number_;
  std::string description_;
  ErrorKind kind_;
};

// A field value. DateTime values are day serials (days since 1899-12-30,
// the fraction being the time of day; see datetime.h).
class Value {
 public:
  enum class Type { Null, Integer, Double, Text, DateTime, Bytes };

  Value() = default;
  static Value Integer(int64_t v);
  static Value Double(double v);
  static Value Text(std::string v);
  static Value DateTime(double serial);
  static Value Bytes(std::vector<uint8_t> v);
  static Value Boolean(bool v) { return Integer(v ? 1 : 0); }

  Type type() const { return type_; }
  bool IsNull() const { return type_ == Type::Null; }

  // Conversions throw Error(kErrConversion) when the value has no such form.
  int64_t AsInteger() const;
  double AsDouble() const;
  bool AsBool() const;
  std::string AsText() const;      // DateTime in the general date format
  double AsDateTime() const;       // Text is parsed; numbers are day serials
  const std::vector<uint8_t>& AsBytes() const;

 private:
  Type type_ = Type::Null;
  int64_t i_ = 0;
  double d_ = 0;
  std::string s_;
  std::vector<uint8_t> b_;
};

// Schema rowsets of OpenSchema.
constexpr int kSchemaTables = 20;          // adSchemaTables
constexpr int kSchemaProviderTypes = 22;   // adSchemaProviderTypes

// Cursor and lock types of Recordset::Open.
constexpr int kOpenForwardOnly = 0;
constexpr int kOpenDynamic = 2;
constexpr int kLockReadOnly = 1;
constexpr int kLockOptimistic = 3;
constexpr int kCmdText = 1;
// Execute's option for a select whose caller reads its first row at most: a
// backend may stop producing rows after it (the rows read are the same).
constexpr int kFirstRowOnly = 0x10000;
constexpr int kOptionUnspecified = -1;

namespace detail {
class Session;   // a backend's open database; see backend.h
class Cursor;    // a query's rows, read forward
}

class Connection;

// A table whose rows a caller remembers between transactions (see
// Connection::KeptRowsStamp), with the columns that may change under what
// it remembers: updates of other columns, deletions and a table replaced
// or emptied count as changes; rows added do not.
struct RowWatch {
  std::string table;
  std::vector<std::string> free_columns;
};

class Recordset {
 public:
  Recordset();
  ~Recordset();
  Recordset(const Recordset&) = delete;
  Recordset& operator=(const Recordset&) = delete;

  // Opens a source on a connection; the cursor type is not looked at (rows
  // are read forward). With kLockReadOnly the source is run as a statement.
  // Any other lock type makes an add-only recordset: the source must be
  // "Select * From <table>" (else Error kErrCommand), and the recordset then
  // only adds rows (AddNew) and reads none of the table's rows.
  void Open(const std::string& source, Connection& active_connection,
            int cursor_type = kOpenForwardOnly, int lock_type = kLockReadOnly);

  bool Eof() const;    // ADO's EOF (the name EOF is a C macro)
  void MoveFirst();
  void MoveNext();
  void Close();
  bool IsOpen() const;

  // The current row's field by column name (case-insensitive, as in ADO).
  Value Field(const std::string& name) const;
  std::vector<std::string> FieldNames() const;

  // Adding a row.
  void AddNew();
  void SetField(const std::string& name, const Value& value);
  void AppendChunk(const std::string& name, const std::vector<uint8_t>& chunk);
  void Update();
  void CancelUpdate();

  // Used by the backends to fill a read recordset.
  void Load(std::vector<std::string> names, std::vector<std::vector<Value>> rows);
  // Makes this an open read recordset over a cursor's rows, fetched as they
  // are reached (a caller that reads only the first row fetches one).
  void Attach(std::unique_ptr<detail::Cursor> cursor);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

class Connection {
 public:
  Connection();
  ~Connection();   // closes; an open transaction is rolled back
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Opens the database named by the connection string (the stored one when
  // empty). Never creates a database file. The user, password and options
  // arguments are accepted for form and not used: credentials belong in the
  // connection string. Throws Error (kErrState when already open).
  void Open(const std::string& connection_string, const std::string& user_id = "",
            const std::string& password = "", int options = kOptionUnspecified);
  void Close();
  bool IsOpen() const;
  const std::string& ConnectionString() const { return connection_string_; }
  void SetConnectionString(const std::string& s) { connection_string_ = s; }

  // Runs a statement; `options` is accepted for form (always text), apart
  // from kFirstRowOnly. A select returns its rows as a forward-only
  // recordset; other statements return an empty, closed one.
  std::shared_ptr<Recordset> Execute(const std::string& statement, int options = kCmdText);

  // Transactions nest as in ADO: BeginTrans returns the new level (1 for
  // the outer transaction, more for a savepoint inside it); CommitTrans and
  // RollbackTrans end the innermost level (see Session in backend.h).
  int BeginTrans();
  void CommitTrans();
  void RollbackTrans();
  bool InTransaction() const;
  int TransactionLevel() const;   // 0 outside a transaction
  // Whether a statement that fails inside a transaction undoes itself (see
  // Session::FailedStatementsUndone); false on a closed connection.
  bool FailedStatementsUndone() const;

  // Equal results of two calls mean that no other connection changed the
  // database in between; 0: unknown (see Session::ChangeStamp).
  uint64_t ChangeStamp();
  // The tables that KeptRowsStamp watches; asked for before BeginTrans (the
  // stamp is read as the transaction begins).
  void WatchRows(std::vector<RowWatch> tables);
  // Equal results of two calls mean that no other connection deleted or
  // changed (but in free columns) rows of the watched tables, nor replaced
  // or emptied one of them, in between; rows added do not count. Where the
  // backend cannot tell, it is ChangeStamp. 0: unknown.
  uint64_t KeptRowsStamp();

  std::shared_ptr<Recordset> OpenSchema(int schema);

  // Coordination of several programs writing one database (Session's
  // NumberingLock and SchemaLock): no-ops where a write transaction holds
  // the whole database.
  bool NumberingLock(const std::string& table);
  bool NumberFromCounter(const std::string& table, int64_t* number);
  void SchemaLock();

  // For Recordset::Open.
  detail::Session& session();
  // The open session, shared; throws Error(kErrState) on a closed connection.
  std::shared_ptr<detail::Session> shared_session() const;

 private:
  std::string connection_string_;
  std::shared_ptr<detail::Session> session_;
};

// Connection string settings every backend reads: Provider, Data Source,
// and Mode=Read (open for reading only; on SQLite the file must be in WAL
// journal mode, so that a reader never makes a writer wait) or ReadWrite
// (the default).
//
// Reads one setting ("Name=value") of a connection string, case-insensitive
// on the name; empty when absent.
std::string ConnectionSetting(const std::string& connection_string, const std::string& name);

// Checks a connection string as Open does before it opens anything: the
// provider and every setting the provider reads. Throws the Error that Open
// would throw for the same text; touches no file and no server.
void CheckConnectionString(const std::string& connection_string);

// The settings of one connection string, read once, for a reader that looks
// up several: Get(name) is ConnectionSetting(connection_string, name).
class ConnectionSettings {
 public:
  explicit ConnectionSettings(std::string connection_string);
  std::string Get(std::string_view name) const;

 private:
  struct Entry {
    size_t key, key_size, text, text_size;
    char quote;
  };
  std::string text_;
  std::vector<Entry> entries_;
};

// Removes one setting as the programs edit their connection strings, by
// exact text: `setting` is ";Name=" with its leading ";". The result keeps
// the text up to and including that ";" and everything after the next ";"
// (nothing when no ";" follows). Unchanged when the setting is absent.
std::string RemoveSetting(const std::string& connection_string, const std::string& setting);

// The connection string without ";User Password=" and then without
// ";Persist Security Info=" (each removed with the ";" that closes it), then
// without any other password setting the providers take (another letter
// case, blanks around the name, "Password="): the form that is logged,
// shown and saved.
std::string WithoutPassword(const std::string& connection_string);

}  // namespace ado
