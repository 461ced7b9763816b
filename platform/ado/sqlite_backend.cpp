// The SQLite backend: opening, statements, transactions, cursors.
#include <sys/stat.h>

#include <atomic>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "datetime.h"
#include "sqlite_locks.h"
#include "sqlite_session.h"

namespace ado::detail {
namespace {

std::string Placeholder(int n) {
  std::string mark = std::to_string(n);
  mark.insert(mark.begin(), '?');
  return mark;
}

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

std::string QuoteName(const std::string& name) {
  std::string out = "\"";
  for (char c : name) out += c == '"' ? std::string("\"\"") : std::string(1, c);
  return out + "\"";
}

SqliteOptions ReadOptions(const ConnectionSettings& cs) {
  SqliteOptions o;
  std::string busy = cs.Get("Busy Timeout");
  if (!busy.empty()) {
    char* end = nullptr;
    long v = std::strtol(busy.c_str(), &end, 10);
    if (*end != '\0' || v < 0 || v > 600000)
      throw Error(kErrProvider, "Invalid Busy Timeout setting '" + busy + "': milliseconds (0 to 600000) expected.");
    o.busy_timeout_ms = static_cast<int>(v);
  }
  std::string journal = Upper(cs.Get("Journal Mode"));
  if (!journal.empty()) {
    if (journal != "WAL" && journal != "DELETE" && journal != "TRUNCATE" && journal != "PERSIST")
      throw Error(kErrProvider, "Invalid Journal Mode setting '" + journal + "': WAL, DELETE, TRUNCATE or PERSIST expected.");
    o.journal_mode = journal;
  }
  std::string sync = Upper(cs.Get("Synchronous"));
  if (!sync.empty() && sync != "OFF" && sync != "NORMAL" && sync != "FULL" && sync != "EXTRA")
    throw Error(kErrProvider, "Invalid Synchronous setting '" + sync + "': OFF, NORMAL, FULL or EXTRA expected.");
  o.synchronous = sync.empty() ? (o.journal_mode == "WAL" ? "NORMAL" : "FULL") : sync;
  std::string cache = cs.Get("Statement Cache");
  if (!cache.empty()) {
    char* end = nullptr;
    long v = std::strtol(cache.c_str(), &end, 10);
    if (*end != '\0' || v < 0 || v > 10000)
      throw Error(kErrProvider, "Invalid Statement Cache setting '" + cache + "': a count (0 to 10000) expected.");
    o.statement_cache = static_cast<size_t>(v);
  }
  std::string pages = cs.Get("Max Page Count");
  if (!pages.empty()) {
    char* end = nullptr;
    long long v = std::strtoll(pages.c_str(), &end, 10);
    if (*end != '\0' || v < 1 || v > 4294967294LL)
      throw Error(kErrProvider, "Invalid Max Page Count setting '" + pages + "': a page count (1 to 4294967294) expected.");
    o.max_page_count = v;
  }
  std::string pooling = Upper(cs.Get("Pooling"));
  if (!pooling.empty()) {
    if (pooling != "TRUE" && pooling != "FALSE")
      throw Error(kErrProvider, "Invalid Pooling setting '" + pooling + "': True or False expected.");
    o.pooling = pooling == "TRUE";
  }
  o.utf8_texts = ReadsUtf8Texts(cs);
  std::string mode = Upper(cs.Get("Mode"));
  if (!mode.empty()) {
    if (mode != "READ" && mode != "READWRITE")
      throw Error(kErrProvider, "Invalid Mode setting '" + mode + "': Read or ReadWrite expected.");
    o.read_only = mode == "READ";
  }
  return o;
}

// What opening reads from the connection string, checked.
struct Settings {
  std::string path;
  SqliteOptions options;
};

Settings ReadSettings(const std::string& connection_string) {
  const ConnectionSettings cs(connection_string);
  Settings s;
  s.path = cs.Get("Data Source");
  if (s.path.empty()) throw Error(kErrProvider, "The connection string names no database file: a Data Source= setting is required.");
  s.options = ReadOptions(cs);
  return s;
}

// Runs a statement on a fresh connection during opening; returns the first
// column of the first row.
std::string OpenStep(sqlite3* db, const std::string& path, const std::string& sql) {
  sqlite3_stmt* st = nullptr;
  int rc = sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr);
  std::string first;
  if (rc == SQLITE_OK) {
    rc = sqlite3_step(st);
    if (rc == SQLITE_ROW) {
      const unsigned char* t = sqlite3_column_text(st, 0);
      if (t) first = reinterpret_cast<const char*>(t);
      rc = SQLITE_OK;
    } else if (rc == SQLITE_DONE) {
      rc = SQLITE_OK;
    }
  }
  std::string message = sqlite3_errmsg(db);
  sqlite3_finalize(st);
  if (rc == SQLITE_OK) return first;
  sqlite3_close_v2(db);
  if ((rc & 0xff) == SQLITE_NOTADB) throw Error(kErrProvider, "Unrecognized database format '" + path + "'.");
  throw SqliteError(rc, message);
}

}  // namespace

constexpr int kCheckpointPages = 10000;

void CheckSqliteSettings(const std::string& cs) { (void)ReadSettings(cs); }

std::shared_ptr<Session> OpenSqliteSession(const std::string& cs) {
  KeepSqliteLocks();   // before any lock is taken: see sqlite_locks.h
  // The same connection string comes back for every pass: read it once.
  thread_local std::string last_cs;
  thread_local Settings last_settings;
  if (cs != last_cs || last_cs.empty()) {
    last_settings = ReadSettings(cs);
    last_cs = cs;
  }
  const std::string path = last_settings.path;
  const SqliteOptions options = last_settings.options;

  // Opening never creates a file: look before SQLite does.
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) {
    if (errno == ENOENT || errno == ENOTDIR) throw Error(kErrProvider, "Could not find file '" + path + "'.");
    throw Error(kErrProvider, "Cannot open file '" + path + "': " + std::strerror(errno) + ".");
  }
  if (S_ISDIR(st.st_mode)) throw Error(kErrProvider, "'" + path + "' is a folder, not a database file.");

  const std::string pool_key = path + '\n' + std::to_string(options.busy_timeout_ms) + '\n' +
                               options.journal_mode + '\n' + options.synchronous + '\n' +
                               std::to_string(options.statement_cache) + '\n' +
                               std::to_string(options.max_page_count) + (options.read_only ? "\nread" : "");
  const FileIdentity file = IdentityOf(st);
  if (auto handle = TakePooled(path, pool_key, file)) {
    if (options.pooling) {
      // Another program may have changed the tables since: the session
      // looks at the schema version before it first needs a column.
      auto session = std::make_shared<SqliteSession>(std::move(*handle), path, options);
      session->SetPoolIdentity(pool_key, file);
      return session;
    }
    CloseHandle(*handle);   // not wanted: open afresh below
  }

  // A name that SQLite could read as a URI is made a plain relative path.
  const std::string open_path = path.compare(0, 5, "file:") == 0 ? "./" + path : path;
  sqlite3* db = nullptr;
  const int open_flags = options.read_only ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE;
  int rc = sqlite3_open_v2(open_path.c_str(), &db, open_flags | SQLITE_OPEN_NOMUTEX, nullptr);
  if (rc != SQLITE_OK) {
    std::string message = db ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
    sqlite3_close_v2(db);
    throw Error(kErrProvider, "Cannot open file '" + path + "' (" + message + ").");
  }
  sqlite3_extended_result_codes(db, 1);
  sqlite3_busy_timeout(db, options.busy_timeout_ms);
  OpenStep(db, path, "SELECT count(*) FROM sqlite_master");   // a file that is no database fails here
  if (options.read_only) {
    // A reader in any other journal mode would make writers wait for it.
    if (Upper(OpenStep(db, path, "PRAGMA journal_mode")) != "WAL") {
      // An empty file is an empty database that no program has written yet.
      const bool empty = st.st_size == 0;
      sqlite3_close_v2(db);
      throw Error(kErrProvider, "Cannot read '" + path + "' with Mode=Read: " +
                                    (empty ? std::string("the file is empty (no tables have been created in it yet).")
                                           : std::string("the database is not in WAL journal mode.")));
    }
  } else if (!sqlite3_db_readonly(db, "main")) {
    OpenStep(db, path, "PRAGMA journal_mode=" + options.journal_mode);
  }
  OpenStep(db, path, "PRAGMA synchronous=" + options.synchronous);
  // Write-ahead log pages are copied into the file (and both synced) when
  // the log passes this many pages: ten times SQLite's default, so a busy
  // listener syncs ten times less often for a log of up to about 40 MB.
  if (!options.read_only) OpenStep(db, path, "PRAGMA wal_autocheckpoint=" + std::to_string(kCheckpointPages));
  if (options.max_page_count > 0)
    OpenStep(db, path, "PRAGMA max_page_count=" + std::to_string(options.max_page_count));
  auto session = std::make_shared<SqliteSession>(db, path, options);
  session->SetPoolIdentity(options.pooling ? pool_key : std::string(), file);
  return session;
}

// ---- SqliteSession ----

namespace {
std::atomic<uint64_t> g_handle_serial{0};
std::atomic<uint64_t> g_statement_clock{0};   // last-use marks of cached statements
}  // namespace

SqliteSession::SqliteSession(sqlite3* db, std::string path, const SqliteOptions& options)
    : db_(db), path_(std::move(path)), options_(options), serial_(++g_handle_serial) {}

SqliteSession::SqliteSession(PooledHandle handle, std::string path, const SqliteOptions& options)
    : db_(handle.db),
      path_(std::move(path)),
      options_(options),
      cache_(std::move(handle.statements)),
      columns_(std::move(handle.columns)),
      schema_version_(handle.schema_version),
      serial_(handle.serial),
      wal_(handle.wal) {}

SqliteSession::~SqliteSession() { Close(); }

bool SqliteSession::Poolable() const {
  if (pool_key_.empty() || !sqlite3_get_autocommit(db_)) return false;
  for (sqlite3_stmt* st = sqlite3_next_stmt(db_, nullptr); st; st = sqlite3_next_stmt(db_, st))
    if (sqlite3_stmt_busy(st)) return false;
  return true;
}

void SqliteSession::Close() {
  if (!db_) return;
  if (live_) live_->Detach();
  if (!sqlite3_get_autocommit(db_)) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
  struct stat st;
  if (Poolable() && ::stat(path_.c_str(), &st) == 0) {
    FileIdentity now = IdentityOf(st);
    if (now.dev == file_.dev && now.ino == file_.ino) {   // still the file the handle has open
      PooledHandle handle;
      handle.db = db_;
      handle.path = path_;
      handle.key = pool_key_;
      handle.file = now;
      // The handle keeps its write-ahead log open as long as it lives, so
      // the log's identity is looked up once.
      handle.wal = wal_;
      if (handle.wal.ino == 0 && ::stat((path_ + "-wal").c_str(), &st) == 0) handle.wal = IdentityOf(st);
      if (handle.wal.ino != 0) handle.log_index = LogIndexHeader(path_ + "-shm");
      handle.statements = std::move(cache_);
      handle.columns = std::move(columns_);
      handle.serial = serial_;
      // The version the remembered columns belong to (-1, unknown, makes
      // the next session read them again).
      handle.schema_version = schema_checked_ ? schema_version_ : -1;
      cache_.clear();
      columns_.clear();
      db_ = nullptr;
      GivePooled(std::move(handle));
      return;
    }
  }
  PooledHandle handle;
  handle.db = db_;
  handle.path = path_;
  handle.file = file_;
  handle.statements = std::move(cache_);
  cache_.clear();
  columns_.clear();
  db_ = nullptr;
  CloseHandle(handle);
}

void SqliteSession::Prepare() {
  if (!db_) throw Error(kErrState, "Operation is not allowed when the object is closed.");
  if (live_) live_->Detach();
}

Error SqliteSession::LastError(int rc) const { return SqliteError(rc, sqlite3_errmsg(db_)); }

sqlite3_stmt* SqliteSession::Acquire(const std::string& sql, bool cacheable) {
  if (cacheable) {
    auto it = cache_.find(sql);
    if (it != cache_.end()) {
      sqlite3_stmt* st = it->second.stmt;
      cache_.erase(it);
      return st;
    }
  }
  sqlite3_stmt* st = nullptr;
  const char* tail = nullptr;
  int rc = sqlite3_prepare_v3(db_, sql.data(), static_cast<int>(sql.size()),
                              cacheable ? SQLITE_PREPARE_PERSISTENT : 0, &st, &tail);
  ++stats_.prepares;
  if (rc != SQLITE_OK) {
    columns_.clear();   // the schema may have changed under us
    throw LastError(rc);
  }
  if (!st)
    throw Error(kErrCommand, "Invalid SQL statement; expected 'DELETE', 'INSERT', 'PROCEDURE', 'SELECT', or 'UPDATE'.");
  const char* end = sql.data() + sql.size();
  while (tail && tail < end && (*tail == ' ' || *tail == ';' || *tail == '\t' || *tail == '\r' || *tail == '\n'))
    ++tail;
  if (tail && tail < end) {
    sqlite3_finalize(st);
    throw Error(kErrCommand, "Characters found after end of SQL statement.");
  }
  return st;
}

void SqliteSession::Release(const std::string& sql, sqlite3_stmt* stmt, bool cacheable) {
  sqlite3_reset(stmt);
  sqlite3_clear_bindings(stmt);
  if (!db_ || !cacheable || options_.statement_cache == 0) {
    sqlite3_finalize(stmt);
    return;
  }
  if (cache_.size() >= options_.statement_cache) {
    auto oldest = cache_.begin();
    for (auto it = cache_.begin(); it != cache_.end(); ++it)
      if (it->second.used < oldest->second.used) oldest = it;
    sqlite3_finalize(oldest->second.stmt);
    cache_.erase(oldest);
  }
  auto inserted = cache_.emplace(sql, CachedStatement{stmt, ++g_statement_clock});
  if (!inserted.second) sqlite3_finalize(stmt);
}

void SqliteSession::Bind(sqlite3_stmt* st, const std::vector<Value>& params) {
  for (size_t k = 0; k < params.size(); ++k) {
    const Value& v = params[k];
    const int i = static_cast<int>(k) + 1;
    int rc = SQLITE_OK;
    switch (v.type()) {
      case Value::Type::Null:
        rc = sqlite3_bind_null(st, i);
        break;
      case Value::Type::Integer:
        rc = sqlite3_bind_int64(st, i, v.AsInteger());
        break;
      case Value::Type::Double:
        rc = sqlite3_bind_double(st, i, v.AsDouble());
        break;
      case Value::Type::Text:
      case Value::Type::DateTime: {
        // Date-times are stored as text in the full form, so that they sort.
        std::string text = v.type() == Value::Type::Text ? jet::NarrowToBackend(v.AsText())
                                                         : datetime::FormatFull(v.AsDateTime());
        rc = sqlite3_bind_text64(st, i, text.data(), text.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
        break;
      }
      case Value::Type::Bytes: {
        const std::vector<uint8_t>& b = v.AsBytes();
        rc = b.empty() ? sqlite3_bind_zeroblob(st, i, 0)
                       : sqlite3_bind_blob64(st, i, b.data(), b.size(), SQLITE_TRANSIENT);
        break;
      }
    }
    if (rc != SQLITE_OK) throw LastError(rc);
  }
}

int SqliteSession::Step(sqlite3_stmt* st) {
  int rc = sqlite3_step(st);
  if (rc == SQLITE_ROW) ++stats_.rows_fetched;
  return rc;
}

void SqliteSession::RunSimple(const std::string& sql) {
  sqlite3_stmt* st = Acquire(sql, true);
  int rc = Step(st);
  if (rc == SQLITE_DONE || rc == SQLITE_ROW) {
    Release(sql, st, true);
    return;
  }
  Error e = LastError(rc);
  Release(sql, st, true);
  throw e;
}

std::unique_ptr<Cursor> SqliteSession::Execute(const std::string& statement) {
  Prepare();
  jet::Translation tr = jet::Translate(statement, *this, &Placeholder);
  const bool data = tr.verb == jet::Verb::Select || tr.verb == jet::Verb::Insert ||
                    tr.verb == jet::Verb::Update || tr.verb == jet::Verb::Delete;
  const std::string sql = jet::NarrowToBackend(tr.text);
  sqlite3_stmt* st = Acquire(sql, data);
  try {
    Bind(st, tr.params);
  } catch (...) {
    Release(sql, st, data);
    throw;
  }
  int rc = Step(st);
  if (!data) {   // create, alter, drop: the column types may change
    columns_.clear();
    schema_version_ = -1;
  }
  if (rc == SQLITE_ROW || (rc == SQLITE_DONE && sqlite3_column_count(st) > 0)) {
    auto cursor = std::make_unique<SqliteCursor>(this, st, sql, data, rc == SQLITE_ROW);
    if (rc == SQLITE_ROW) live_ = cursor.get();
    return cursor;
  }
  if (rc == SQLITE_DONE) {
    Release(sql, st, data);
    return nullptr;
  }
  Error e = LastError(rc);
  Release(sql, st, data);
  throw e;
}

void SqliteSession::Begin() {
  Prepare();
  // BEGIN IMMEDIATE would take the write lock even on a read-only handle.
  if (options_.read_only) throw Error(kErrState, "A connection opened with Mode=Read runs no transactions.");
  if (TransactionDepth() > 0) {
    RunSimple("SAVEPOINT s" + std::to_string(depth_ + 1));
    ++depth_;
    return;
  }
  try {
    // IMMEDIATE takes the write lock now (waiting the busy timeout), so the
    // statements inside never meet a lock half way.
    RunSimple("BEGIN IMMEDIATE");
  } catch (...) {
    if (!sqlite3_get_autocommit(db_)) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    throw;
  }
  depth_ = 1;
}

void SqliteSession::Commit() {
  Prepare();
  int depth = TransactionDepth();
  if (depth == 0) throw Error(kErrState, "No transaction is active.");
  if (depth > 1) {
    RunSimple("RELEASE s" + std::to_string(depth));
  } else {
    RunSimple("COMMIT");   // a locked commit keeps the transaction, so it can be retried
  }
  --depth_;
}

void SqliteSession::Rollback() {
  Prepare();
  int depth = TransactionDepth();
  if (depth == 0) throw Error(kErrState, "No transaction is active.");
  if (depth > 1) {
    std::string name = "s";
    name += std::to_string(depth);
    RunSimple("ROLLBACK TO " + name);
    RunSimple("RELEASE " + name);
    --depth_;
  } else {
    depth_ = 0;
    RunSimple("ROLLBACK");
  }
}

uint64_t SqliteSession::ChangeStamp() {
  Prepare();
  // data_version changes when another connection commits; the handle's
  // serial tells this handle's numbers from another's.
  sqlite3_stmt* st = Acquire("PRAGMA data_version", true);
  int rc = Step(st);
  uint64_t version = rc == SQLITE_ROW ? static_cast<uint64_t>(sqlite3_column_int64(st, 0)) : 0;
  Release("PRAGMA data_version", st, true);
  if (rc != SQLITE_ROW) return 0;
  return serial_ << 32 | (version & 0xffffffffu);
}

int SqliteSession::TransactionDepth() const {
  // SQLite ends a transaction by itself on some failures (a full disk, an
  // I/O error): then no level is open any more.
  if (!db_ || sqlite3_get_autocommit(db_)) return 0;
  return depth_ > 0 ? depth_ : 1;
}

bool SqliteSession::InTransaction() const { return db_ && !sqlite3_get_autocommit(db_); }

void SqliteSession::CheckSchema() {
  if (schema_checked_) return;
  schema_checked_ = true;
  int64_t version = -1;
  sqlite3_stmt* st = nullptr;
  try {
    st = Acquire("PRAGMA schema_version", true);
    if (Step(st) == SQLITE_ROW) version = sqlite3_column_int64(st, 0);
    Release("PRAGMA schema_version", st, true);
  } catch (const Error&) {
  }
  if (version < 0 || version != schema_version_) columns_.clear();
  schema_version_ = version;
}

const std::vector<jet::Column>* SqliteSession::ColumnsOf(const std::string& table) {
  CheckSchema();
  std::string key = table;
  for (char& c : key) c = jet::FoldCase(c);
  auto it = columns_.find(key);
  if (it != columns_.end()) return &it->second;
  const std::string sql = "PRAGMA table_info(" + QuoteName(jet::NarrowToBackend(table)) + ")";
  sqlite3_stmt* st = Acquire(sql, false);
  std::vector<jet::Column> cols;
  int rc;
  while ((rc = Step(st)) == SQLITE_ROW) {
    jet::Column c;
    auto text = [&](int i) {
      const unsigned char* t = sqlite3_column_text(st, i);
      return t ? std::string(reinterpret_cast<const char*>(t), sqlite3_column_bytes(st, i)) : std::string();
    };
    c.name = jet::BackendToNarrow(text(1));
    c.type_name = jet::BackendToNarrow(text(2));
    c.kind = KindOfDeclaredType(c.type_name);
    c.size = c.kind == jet::ColumnKind::Text ? jet::DeclaredSize(c.type_name) : 0;
    cols.push_back(std::move(c));
  }
  if (rc != SQLITE_DONE) {
    Error e = LastError(rc);
    Release(sql, st, false);
    throw e;
  }
  Release(sql, st, false);
  if (cols.empty()) return nullptr;   // unknown now; it may be created later
  return &(columns_[key] = std::move(cols));
}

std::vector<jet::Column> SqliteSession::Columns(const std::string& table) {
  Prepare();
  const std::vector<jet::Column>* cols = ColumnsOf(table);
  if (!cols) throw Error(kErrCommand, "no such table: " + table);
  return *cols;
}

void SqliteSession::Insert(const std::string& table, const std::vector<std::string>& columns,
                           const std::vector<Value>& values) {
  Prepare();
  const std::vector<jet::Column>* cols = ColumnsOf(table);
  if (!cols) throw Error(kErrCommand, "no such table: " + table);
  jet::Translation tr = jet::InsertStatement(table, *cols, columns, values, &QuoteName, &Placeholder);
  const std::string sql = jet::NarrowToBackend(tr.text);
  const std::vector<Value>& params = tr.params;
  sqlite3_stmt* st = Acquire(sql, true);
  try {
    Bind(st, params);
  } catch (...) {
    Release(sql, st, true);
    throw;
  }
  int rc = Step(st);
  if (rc == SQLITE_DONE) {
    Release(sql, st, true);
    return;
  }
  Error e = LastError(rc);
  Release(sql, st, true);
  throw e;
}

}  // namespace ado::detail
