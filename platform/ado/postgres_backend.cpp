// The PostgreSQL backend: opening, statements, transactions.
#include <atomic>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "datetime.h"
#include "postgres_session.h"

namespace ado::detail {
namespace {

int ReadNumber(const ConnectionSettings& cs, const char* name, int low, int high, int fallback, const char* unit) {
  const std::string text = cs.Get(name);
  if (text.empty()) return fallback;
  char* end = nullptr;
  long v = std::strtol(text.c_str(), &end, 10);
  if (*end != '\0' || v < low || v > high)
    throw Error(kErrProvider, std::string("Invalid ") + name + " setting '" + text + "': " + unit + " (" +
                                  std::to_string(low) + " to " + std::to_string(high) + ") expected.");
  return static_cast<int>(v);
}

PgOptions ReadOptions(const ConnectionSettings& cs) {
  PgOptions o;
  o.busy_timeout_ms = ReadNumber(cs, "Busy Timeout", 1, 600000, o.busy_timeout_ms, "milliseconds");
  o.command_timeout_s = ReadNumber(cs, "Command Timeout", 0, 86400, o.command_timeout_s, "seconds");
  o.connect_timeout_s = ReadNumber(cs, "Connect Timeout", 0, 3600, o.connect_timeout_s, "seconds");
  o.statement_cache = static_cast<size_t>(ReadNumber(cs, "Statement Cache", 0, 10000, 256, "a count"));
  std::string sync = cs.Get("Synchronous Commit");
  for (char& c : sync) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (!sync.empty() && sync != "on" && sync != "off" && sync != "local" && sync != "remote_write" &&
      sync != "remote_apply")
    throw Error(kErrProvider, "Invalid Synchronous Commit setting '" + sync +
                                  "': on, off, local, remote_write or remote_apply expected.");
  // The listener lets go of a datagram when its pass has committed, so a
  // commit must have reached the server's write-ahead log before it returns:
  // with the server's "off" a crash or an immediate stop of the server loses
  // the commits of its last moments. Only the connection string turns that
  // off.
  o.synchronous_commit = sync.empty() ? "on" : sync;
  o.utf8_texts = ReadsUtf8Texts(cs);
  std::string pooling = cs.Get("Pooling");
  if (!pooling.empty()) {
    if (!jet::EqualsNoCase(pooling, "True") && !jet::EqualsNoCase(pooling, "False"))
      throw Error(kErrProvider, "Invalid Pooling setting '" + pooling + "': True or False expected.");
    o.pooling = jet::EqualsNoCase(pooling, "True");
  }
  return o;
}

// libpq's connection parameters from the connection string.
struct Params {
  std::vector<std::string> keys, values;
  void Add(const char* key, const std::string& value) {
    if (value.empty()) return;
    keys.push_back(key);
    values.push_back(value);
  }
};

Params ReadParams(const ConnectionSettings& cs, const PgOptions& o) {
  Params p;
  p.Add("dbname", cs.Get("Data Source"));
  // Location: HOST[:PORT], [IPv6]:PORT, or a socket folder /path[:PORT].
  std::string location = cs.Get("Location");
  std::string host = location, port;
  size_t colon = location.rfind(':');
  size_t bracket = location.rfind(']');
  if (colon != std::string::npos && (bracket == std::string::npos || colon > bracket) &&
      location.find(':') == colon) {
    host = location.substr(0, colon);
    port = location.substr(colon + 1);
  } else if (!location.empty() && location[0] == '[' && bracket != std::string::npos) {
    host = location.substr(1, bracket - 1);
    if (bracket + 1 < location.size() && location[bracket + 1] == ':') port = location.substr(bracket + 2);
  }
  if (!host.empty() && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  if (!port.empty() && port.find_first_not_of("0123456789") != std::string::npos)
    throw Error(kErrProvider, "Invalid Location setting '" + location + "': HOST[:PORT] or a socket folder expected.");
  p.Add("host", host);
  p.Add("port", port);
  p.Add("user", cs.Get("User ID"));
  std::string password = cs.Get("User Password");
  if (password.empty()) password = cs.Get("Password");
  p.Add("password", password);
  p.Add("sslmode", cs.Get("SSL Mode"));
  std::string app = cs.Get("Application Name");
  p.Add("application_name", app.empty() ? "tallyhost" : app);
  p.Add("connect_timeout", std::to_string(o.connect_timeout_s));
  p.Add("client_encoding", "UTF8");
  std::string options = "-c DateStyle=ISO,MDY -c client_min_messages=warning -c lock_timeout=" +
                        std::to_string(o.busy_timeout_ms) + " -c statement_timeout=" +
                        std::to_string(o.command_timeout_s * 1000) + " -c IntervalStyle=postgres";
  options += " -c synchronous_commit=" + o.synchronous_commit;
  p.Add("options", options);
  return p;
}

void IgnoreNotice(void*, const char*) {}

}  // namespace

PGconn* ConnectPg(const std::vector<std::string>& param_keys, const std::vector<std::string>& param_values,
                  const std::string& database) {
  std::vector<const char*> keys, values;
  for (size_t i = 0; i < param_keys.size(); ++i) {
    keys.push_back(param_keys[i].c_str());
    values.push_back(param_values[i].c_str());
  }
  keys.push_back(nullptr);
  values.push_back(nullptr);
  PGconn* conn = PQconnectdbParams(keys.data(), values.data(), 0);
  if (!conn) throw Error(kErrProvider, "Cannot connect to the PostgreSQL server: out of memory.");
  if (PQstatus(conn) != CONNECTION_OK) {
    std::string message = PQerrorMessage(conn);
    PQfinish(conn);
    // libpq's text spans lines ("...failed: ...\n\tIs the server running..."): one line.
    std::string line;
    for (char ch : message) {
      if (ch == '\n' || ch == '\t' || ch == '\r') ch = ' ';
      if (!(ch == ' ' && (line.empty() || line.back() == ' '))) line += ch;
    }
    while (!line.empty() && line.back() == ' ') line.pop_back();
    throw Error(kErrProvider, "Cannot open the PostgreSQL database '" + database + "': " +
                                  jet::BackendToNarrow(line));
  }
  return conn;
}

namespace {

// What opening reads from the connection string, checked.
struct Settings {
  PgOptions options;
  Params params;
  std::string database;
};

Settings ReadSettings(const std::string& connection_string) {
  const ConnectionSettings cs(connection_string);
  Settings s;
  s.options = ReadOptions(cs);
  s.params = ReadParams(cs, s.options);
  s.database = cs.Get("Data Source");
  if (s.database.empty())
    throw Error(kErrProvider, "The connection string names no database: a Data Source= setting is required.");
  return s;
}

}  // namespace

void CheckPostgresSettings(const std::string& cs) { (void)ReadSettings(cs); }

std::shared_ptr<Session> OpenPostgresSession(const std::string& cs) {
  const Settings settings = ReadSettings(cs);
  const PgOptions& options = settings.options;
  const Params& params = settings.params;
  const std::string& database = settings.database;
  std::string key;
  for (size_t i = 0; i < params.keys.size(); ++i) key += params.keys[i] + '=' + params.values[i] + '\n';
  key += std::to_string(options.statement_cache);

  if (options.pooling) {
    if (auto handle = TakePooledPg(key)) return std::make_shared<PostgresSession>(std::move(handle), options, database);
  }
  PGconn* conn = ConnectPg(params.keys, params.values, database);
  PQsetNoticeProcessor(conn, &IgnoreNotice, nullptr);
  auto handle = std::make_unique<PgHandle>();
  handle->conn = conn;
  handle->key = options.pooling ? key : std::string();
  handle->param_keys = params.keys;
  handle->param_values = params.values;
  return std::make_shared<PostgresSession>(std::move(handle), options, database);
}

// ---- PostgresSession ----

PostgresSession::PostgresSession(std::unique_ptr<PgHandle> handle, const PgOptions& options, std::string database)
    : handle_(std::move(handle)), options_(options), database_(std::move(database)) {}

PostgresSession::~PostgresSession() { Close(); }

void PostgresSession::Close() {
  if (!handle_) return;
  PGconn* c = handle_->conn;
  if (PQstatus(c) == CONNECTION_OK && PQtransactionStatus(c) != PQTRANS_IDLE) {
    PQclear(PQexec(c, "ROLLBACK"));
  }
  depth_ = 0;
  // The schema lock goes with the session, not with a pooled connection.
  if (schema_locked_ && PQstatus(c) == CONNECTION_OK) PQclear(PQexec(c, "SELECT pg_advisory_unlock_all()"));
  schema_locked_ = false;
  const bool reusable = !handle_->key.empty() && PQstatus(c) == CONNECTION_OK &&
                        PQtransactionStatus(c) == PQTRANS_IDLE;
  if (reusable) {
    GivePooledPg(std::move(handle_));
  } else {
    ClosePgHandle(*handle_);
    handle_.reset();
  }
}

PGconn* PostgresSession::Conn() {
  if (!handle_) throw Error(kErrState, "Operation is not allowed when the object is closed.");
  if (PQstatus(handle_->conn) != CONNECTION_OK) {
    depth_ = 0;
    throw PgError(nullptr, "the connection was closed earlier", true);
  }
  return handle_->conn;
}

Error PostgresSession::ErrorOf(const PGresult* result) {
  PGconn* c = handle_->conn;
  const char* state = result ? PQresultErrorField(result, PG_DIAG_SQLSTATE) : nullptr;
  std::string message = result ? PQresultErrorMessage(result) : "";
  if (message.empty()) message = PQerrorMessage(c);
  const char* primary = result ? PQresultErrorField(result, PG_DIAG_MESSAGE_PRIMARY) : nullptr;
  if (primary) message = primary;
  while (!message.empty() && (message.back() == '\n' || message.back() == ' ')) message.pop_back();
  const bool lost = PQstatus(c) != CONNECTION_OK;
  if (lost) depth_ = 0;
  return PgError(state, message, lost);
}

namespace {

// Parameter texts (and the one binary form, bytes) for libpq.
struct Bound {
  std::vector<std::string> texts;
  std::vector<const char*> values;
  std::vector<int> lengths, formats;
};

void BindAll(const std::vector<Value>& params, Bound* b) {
  const size_t n = params.size();
  b->texts.resize(n);
  b->values.assign(n, nullptr);
  b->lengths.assign(n, 0);
  b->formats.assign(n, 0);
  for (size_t i = 0; i < n; ++i) {
    const Value& v = params[i];
    std::string& t = b->texts[i];
    switch (v.type()) {
      case Value::Type::Null:
        continue;
      case Value::Type::Integer:
        t = std::to_string(v.AsInteger());
        break;
      case Value::Type::Double: {
        char buf[40];
        std::snprintf(buf, sizeof buf, "%.17g", v.AsDouble());
        t = buf;
        if (t == "nan" || t == "-nan") t = "NaN";
        if (t == "inf") t = "Infinity";
        if (t == "-inf") t = "-Infinity";
        break;
      }
      case Value::Type::DateTime:
        t = datetime::FormatFull(v.AsDateTime());
        break;
      case Value::Type::Text:
        if (v.AsText().find('\0') != std::string::npos)
          throw Error(kErrConversion, "A text holding a zero byte cannot be stored in a PostgreSQL database.");
        t = jet::NarrowToBackend(v.AsText());
        break;
      case Value::Type::Bytes: {
        const auto& bytes = v.AsBytes();
        t.assign(bytes.begin(), bytes.end());
        b->formats[i] = 1;
        break;
      }
    }
    b->lengths[i] = static_cast<int>(t.size());
  }
  for (size_t i = 0; i < n; ++i)
    if (!params[i].IsNull()) b->values[i] = b->texts[i].data();
}

bool Failed(const PGresult* r) {
  if (!r) return true;
  ExecStatusType s = PQresultStatus(r);
  return s != PGRES_COMMAND_OK && s != PGRES_TUPLES_OK && s != PGRES_EMPTY_QUERY;
}

}  // namespace

PGresult* PostgresSession::RunOnce(const std::string& sql, const std::vector<Value>& params, bool cacheable,
                                   bool guarded) {
  PGconn* c = Conn();
  Bound b;
  BindAll(params, &b);
  const int n = static_cast<int>(params.size());
  // The prepared statement's name; a new one is prepared in the same round
  // trip and kept once that succeeded.
  std::string name;
  bool prepare = false;
  if (cacheable && options_.statement_cache > 0) {
    auto it = handle_->prepared.find(sql);
    if (it != handle_->prepared.end()) {
      handle_->lru.splice(handle_->lru.begin(), handle_->lru, it->second);
      name = it->second->second;
    } else {
      while (handle_->lru.size() >= options_.statement_cache) {
        const std::string old = handle_->lru.back().second;
        handle_->prepared.erase(handle_->lru.back().first);
        handle_->lru.pop_back();
        PQclear(PQexec(c, ("DEALLOCATE " + old).c_str()));
      }
      name = "t" + std::to_string(++handle_->next_name);
      prepare = true;
    }
  }
  if (name.empty()) ++stats_.prepares;
  if (!guarded && !prepare) {
    if (name.empty())
      return PQexecParams(c, sql.c_str(), n, nullptr, b.values.data(), b.lengths.data(), b.formats.data(), 0);
    return PQexecPrepared(c, name.c_str(), n, b.values.data(), b.lengths.data(), b.formats.data(), 0);
  }
  // SAVEPOINT, PREPARE, the statement and RELEASE go in one round trip
  // (libpq's pipeline mode): after a failure the server skips the rest up to
  // the sync, so a failed statement leaves its savepoint open for the undo.
  if (!PQenterPipelineMode(c)) return nullptr;
  std::vector<int> kinds;   // 0 savepoint/release, 1 prepare, 2 the statement
  auto simple = [&](const char* text) {
    PQsendQueryParams(c, text, 0, nullptr, nullptr, nullptr, nullptr, 0);
    kinds.push_back(0);
  };
  if (guarded) simple("SAVEPOINT jet_statement");
  if (prepare) {
    ++stats_.prepares;
    PQsendPrepare(c, name.c_str(), sql.c_str(), n, nullptr);
    kinds.push_back(1);
  }
  if (name.empty())
    PQsendQueryParams(c, sql.c_str(), n, nullptr, b.values.data(), b.lengths.data(), b.formats.data(), 0);
  else
    PQsendQueryPrepared(c, name.c_str(), n, b.values.data(), b.lengths.data(), b.formats.data(), 0);
  kinds.push_back(2);
  if (guarded) simple("RELEASE SAVEPOINT jet_statement");
  PQpipelineSync(c);
  PGresult* statement = nullptr;   // the statement's result
  PGresult* failure = nullptr;     // the first failure, when not the statement's
  bool prepared = false;
  for (int kind : kinds) {
    PGresult* r = PQgetResult(c);
    if (!r) {   // the connection broke off
      if (!failure && !statement) failure = PQmakeEmptyPGresult(c, PGRES_FATAL_ERROR);
      break;
    }
    while (PGresult* extra = PQgetResult(c)) PQclear(extra);   // up to the query's end
    const bool ok = PQresultStatus(r) == PGRES_COMMAND_OK || PQresultStatus(r) == PGRES_TUPLES_OK;
    if (kind == 1) prepared = ok;
    if (kind == 2) {
      statement = r;
    } else if (!ok && PQresultStatus(r) != PGRES_PIPELINE_ABORTED && !failure) {
      failure = r;
    } else {
      PQclear(r);
    }
  }
  // The sync's own result ends the pipeline.
  for (int ends = 0; PQstatus(c) == CONNECTION_OK && ends < 16;) {
    PGresult* r = PQgetResult(c);
    if (!r) {
      ++ends;
      continue;
    }
    const bool sync = PQresultStatus(r) == PGRES_PIPELINE_SYNC;
    PQclear(r);
    if (sync) break;
  }
  PQexitPipelineMode(c);
  if (prepared) {
    handle_->lru.emplace_front(sql, name);
    handle_->prepared[sql] = handle_->lru.begin();
  }
  // The first real failure answers for the whole: a skipped statement's
  // "aborted" says nothing.
  if (failure && (!statement || !Failed(statement) || PQresultStatus(statement) == PGRES_PIPELINE_ABORTED)) {
    if (statement) PQclear(statement);
    return failure;
  }
  if (failure) PQclear(failure);
  return statement;
}

PGresult* PostgresSession::Run(const std::string& sql, const std::vector<Value>& params, bool cacheable,
                               bool writes) {
  PGconn* c = Conn();
  const int depth = PQtransactionStatus(c) == PQTRANS_INTRANS ? TransactionDepth() : 0;
  const bool changed = depth > 0 && (static_cast<size_t>(depth) >= changed_.size() || changed_[depth]);
  const bool guarded = depth > 0 && changed;
  PGresult* r = RunOnce(sql, params, cacheable, guarded);
  if (!Failed(r)) {
    if (depth > 0 && writes && static_cast<size_t>(depth) < changed_.size()) changed_[depth] = true;
    if (r) stats_.rows_fetched += static_cast<uint64_t>(PQntuples(r));
    return r;
  }
  Error e = ErrorOf(r);
  PQclear(r);
  if (depth > 0 && PQstatus(c) == CONNECTION_OK) {
    if (guarded) {
      PQclear(PQexec(c, "ROLLBACK TO SAVEPOINT jet_statement"));
      PQclear(PQexec(c, "RELEASE SAVEPOINT jet_statement"));
    } else if (depth > 1) {
      PQclear(PQexec(c, ("ROLLBACK TO SAVEPOINT s" + std::to_string(depth)).c_str()));   // it stays open
    } else {
      PQclear(PQexec(c, "ROLLBACK"));   // nothing was changed yet: a new transaction is the same
      PQclear(PQexec(c, "BEGIN"));
    }
  }
  // A failed statement may have been prepared against tables that changed.
  handle_->catalog.Forget();
  throw e;
}

void PostgresSession::RunSimple(const std::string& sql) {
  PGconn* c = Conn();
  PGresult* r = PQexec(c, sql.c_str());
  if (Failed(r)) {
    Error e = ErrorOf(r);
    PQclear(r);
    throw e;
  }
  PQclear(r);
}

std::unique_ptr<Cursor> PostgresSession::Execute(const std::string& statement) { return ExecuteStatement(statement, false); }

std::unique_ptr<Cursor> PostgresSession::ExecuteFirstRow(const std::string& statement) { return ExecuteStatement(statement, true); }

// Advisory locks in a class of this program's own: the numbering lock of a
// table by its name folded to lower case, the schema lock as number 0.
constexpr int kLockClass = 1952541804;   // "Tall"

bool PostgresSession::NumberingLock(const std::string& table) {
  if (TransactionDepth() == 0) return false;   // it would end with the statement
  std::string folded = table;
  for (char& c : folded) c = jet::FoldCase(c);
  PQclear(Run("SELECT pg_advisory_xact_lock(" + std::to_string(kLockClass) + ", hashtext($1))",
              {Value::Text(folded)}, true, false));
  return true;
}

// A table's counter is a sequence named after it. Each number is the
// sequence's next one or, when a program that numbers by the largest
// Record has gone beyond it, that Record's successor, which the sequence
// then continues from. The largest Record is one step down the table's
// unique index. Two programs that find the sequence behind at the same
// moment take one number: the second meets a duplicate key, which the
// caller answers with the next number, as for any numbering.
bool PostgresSession::NumberFromCounter(const std::string& table, int64_t* number) {
  if (TransactionDepth() == 0) return false;
  const std::string* actual = TableNamed(table, false);
  if (!actual) actual = TableNamed(table, true);
  if (!actual) throw Error(kErrCommand, "no such table: " + table);
  const std::string name = *actual;
  std::string folded = name;
  for (char& c : folded) c = jet::FoldCase(c);
  const std::string sequence = pg::Quote("tally_record_" + folded);
  auto& known = handle_->catalog.counters;
  for (int attempt = 0;; ++attempt) {
    const bool was_known = known.count(name) > 0;
    if (!was_known) {
      PGresult* r = Run("SELECT to_regclass($1) IS NOT NULL", {Value::Text(sequence)}, false, false);
      const bool exists = PQntuples(r) == 1 && PQgetvalue(r, 0, 0)[0] == 't';
      PQclear(r);
      if (!exists) {
        // Made under the table's numbering lock, so that two programs do not
        // make it at once; it starts above the largest Record on its first use.
        NumberingLock(name);
        PQclear(Run("CREATE SEQUENCE IF NOT EXISTS " + sequence + " AS integer MINVALUE 0 START 0", {}, false, true));
      }
    }
    try {
      // The sequence is set only when it is behind: setting it to a number
      // that another program's nextval has passed meanwhile would hand
      // that number out again.
      PGresult* r = Run("SELECT CASE WHEN n >= m THEN n ELSE setval($1::regclass, m) END FROM (SELECT "
                        "nextval($1::regclass) AS n, coalesce((SELECT max(" + pg::Quote("Record") + ") FROM " +
                            pg::Quote(name) + "), 0) + 1 AS m) AS next",
                        {Value::Text(sequence)}, true, false);
      *number = std::atoll(PQgetvalue(r, 0, 0));
      PQclear(r);
      known.insert(name);
      return true;
    } catch (const Error& e) {
      // A sequence known to this connection may have gone with a database
      // put back from a backup: looked for once more.
      if (attempt > 0 || e.Unavailable() || !was_known) throw;
      known.erase(name);
    }
  }
}

void PostgresSession::SchemaLock() {
  PQclear(Run("SELECT pg_advisory_lock(" + std::to_string(kLockClass) + ", 0)", {}, true, false));
  schema_locked_ = true;
}

std::unique_ptr<Cursor> PostgresSession::ExecuteStatement(const std::string& statement, bool first_row) {
  Conn();
  jet::Translation tr = jet::Translate(statement, *this, &pg::Placeholder);
  // CREATE INDEX takes a share lock on its table, held to the end of the
  // transaction, even when IF NOT EXISTS finds the index there: inside a
  // pass that would keep every other writer of the table waiting. An index
  // that exists is therefore looked up first (without a lock).
  const std::string index = pg::IndexCreatedIfMissing(tr.text);
  if (!index.empty()) {
    PGresult* r = Run("SELECT to_regclass($1) IS NOT NULL", {Value::Text(pg::Quote(index))}, false, false);
    const bool exists = PQntuples(r) == 1 && std::strcmp(PQgetvalue(r, 0, 0), "t") == 0;
    PQclear(r);
    if (exists) return nullptr;
  }
  const bool data = tr.verb == jet::Verb::Select || tr.verb == jet::Verb::Insert ||
                    tr.verb == jet::Verb::Update || tr.verb == jet::Verb::Delete;
  std::string sql = jet::NarrowToBackend(pg::Rewrite(tr.text, tr.verb, *this, *this));
  if (first_row && tr.verb == jet::Verb::Select) sql = pg::LimitedToOneRow(sql);
  PGresult* r = Run(sql, tr.params, data, tr.verb != jet::Verb::Select);
  // Alter, drop and the like may change tables and columns: the catalog is
  // read again. A new table or index changes no name known so far (a new
  // table is looked up when first named), which keeps a database of many
  // tables from being listed again for every game.
  if (!data && tr.verb != jet::Verb::CreateTable && index.empty()) handle_->catalog.Forget();
  if (PQresultStatus(r) == PGRES_TUPLES_OK && PQnfields(r) > 0) return std::make_unique<PostgresCursor>(r, options_.utf8_texts);
  PQclear(r);
  return nullptr;
}

std::string PostgresSession::RunAndReadWal(const std::string& sql, std::string* watch) {
  PGconn* c = Conn();
  const bool with_watch = watch && !watch_.empty();
  const std::string query = sql + "; SELECT pg_current_wal_insert_lsn()" +
                            (with_watch ? ", (" + WatchStateQuery() + ")" : "");
  PGresult* r = PQexec(c, query.c_str());
  if (Failed(r)) {
    Error e = ErrorOf(r);
    PQclear(r);
    throw e;
  }
  const bool row = PQresultStatus(r) == PGRES_TUPLES_OK && PQntuples(r) == 1;
  std::string wal = row ? PQgetvalue(r, 0, 0) : "";
  if (with_watch) *watch = row && PQnfields(r) > 1 && !PQgetisnull(r, 0, 1) ? PQgetvalue(r, 0, 1) : "";
  PQclear(r);
  return wal;
}

// A transaction begins with a read of the log position, which the change
// stamp asked for inside it uses (this session writes nothing before), and
// of the row watch's state.
void PostgresSession::Begin() {
  const int depth = TransactionDepth();
  if (depth == 0) {
    begin_wal_.clear();
    begin_watch_.clear();
    // The row watch's state is read with the BEGIN once the watch is whole;
    // it is made (once per connection) when it is not.
    bool with_watch = false;
    if (!watch_.empty()) {
      Conn();
      if (!handle_->watch_whole && !handle_->watch_tried) handle_->watch_whole = MakeWatch();
      with_watch = handle_->watch_whole;
    }
    // A watch found broken (a table made again without its trigger, the
    // database put back without the watch) is made again once.
    auto broken = [&] {
      handle_->watch_whole = false;
      handle_->watch_tried = false;
    };
    try {
      begin_wal_ = RunAndReadWal("BEGIN", with_watch ? &begin_watch_ : nullptr);
      if (with_watch && begin_watch_.empty()) broken();
    } catch (const Error&) {
      // A server that cannot tell its log position still takes the BEGIN.
      if (!handle_ || PQstatus(handle_->conn) != CONNECTION_OK) throw;
      if (PQtransactionStatus(handle_->conn) != PQTRANS_IDLE) PQclear(PQexec(handle_->conn, "ROLLBACK"));
      begin_watch_.clear();
      if (with_watch) broken();
      RunSimple("BEGIN");
    }
  } else {
    RunSimple("SAVEPOINT s" + std::to_string(depth + 1));
  }
  depth_ = depth + 1;
  changed_.resize(static_cast<size_t>(depth_) + 1, true);
  changed_[depth_] = false;
}

void PostgresSession::Commit() {
  const int depth = TransactionDepth();
  if (depth == 0) throw Error(kErrState, "No transaction is active.");
  if (depth > 1) {
    RunSimple("RELEASE SAVEPOINT s" + std::to_string(depth));
    depth_ = depth - 1;
    if (changed_.size() > static_cast<size_t>(depth)) {
      if (changed_[depth]) changed_[depth - 1] = true;
      changed_.resize(static_cast<size_t>(depth));
    }
    return;
  }
  const std::string xid = AssignedTransactionId();
  begin_wal_.clear();
  std::string wal;
  try {
    wal = RunAndReadWal("COMMIT");
  } catch (const Error& e) {
    // PostgreSQL ends the transaction whatever COMMIT answers.
    if (handle_ && PQtransactionStatus(handle_->conn) == PQTRANS_IDLE) depth_ = 0;
    if (!e.Unavailable() || xid.empty() || !handle_ || PQstatus(handle_->conn) == CONNECTION_OK ||
        !CommittedAfterAll(xid))
      throw;
    depth_ = 0;
    StampAfterCommit(false);
    Close();   // the connection is gone; the work is stored
    return;
  }
  depth_ = 0;
  StampAfterCommit(true, wal);
}

namespace {
std::atomic<uint64_t> g_last_stamp{0};
}

std::string PostgresSession::WalPosition() {
  PGresult* r = PQexec(Conn(), "SELECT pg_current_wal_insert_lsn()");
  std::string lsn = PQresultStatus(r) == PGRES_TUPLES_OK && PQntuples(r) == 1 ? PQgetvalue(r, 0, 0) : "";
  const bool lost = PQstatus(handle_->conn) != CONNECTION_OK;
  PQclear(r);
  if (lost) throw ErrorOf(nullptr);
  return lsn;
}

uint64_t PostgresSession::ChangeStamp() {
  Conn();
  PgHandle& h = *handle_;
  const int depth = TransactionDepth();
  bool writing = false;
  for (int level = 1; level <= depth && static_cast<size_t>(level) < changed_.size(); ++level)
    writing = writing || changed_[static_cast<size_t>(level)];
  if (writing) {
    h.stamp = ++g_last_stamp;
    h.stamp_wal.clear();
    h.stamp_pending = true;
    return h.stamp;
  }
  // A failure here would end a transaction that holds nothing yet: asked
  // outside one or at its start only.
  const std::string wal = depth > 0 && !begin_wal_.empty() ? begin_wal_ : WalPosition();
  if (wal.empty()) return 0;
  if (wal != h.stamp_wal || h.stamp_pending) {
    h.stamp = ++g_last_stamp;
    h.stamp_wal = wal;
    h.stamp_pending = false;
  }
  return h.stamp;
}

void PostgresSession::StampAfterCommit(bool committed, const std::string& wal) {
  if (!handle_ || !handle_->stamp_pending) return;
  PgHandle& h = *handle_;
  h.stamp_pending = false;
  h.stamp_wal.clear();
  if (!committed) {
    h.stamp = ++g_last_stamp;
    return;
  }
  try {
    h.stamp_wal = wal.empty() ? WalPosition() : wal;
  } catch (const Error&) {
  }
  if (h.stamp_wal.empty()) h.stamp = ++g_last_stamp;
}

std::string PostgresSession::AssignedTransactionId() {
  // Cannot fail but with the connection: no savepoint of its own.
  PGresult* r = PQexec(Conn(), "SELECT txid_current_if_assigned()");
  if (PQresultStatus(r) != PGRES_TUPLES_OK) {
    Error e = ErrorOf(r);
    PQclear(r);
    throw e;
  }
  std::string xid = PQntuples(r) == 1 && !PQgetisnull(r, 0, 0) ? PQgetvalue(r, 0, 0) : "";
  PQclear(r);
  return xid;
}

bool PostgresSession::CommittedAfterAll(const std::string& xid) {
  PGconn* c = nullptr;
  try {
    c = ConnectPg(handle_->param_keys, handle_->param_values, database_);
  } catch (const Error&) {
    return false;   // cannot tell: the caller keeps the failure
  }
  // "in progress" while the server has not yet taken in that the old
  // connection is gone; it then ends the transaction one way or the other.
  bool committed = false;
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  for (;;) {
    const char* values[] = {xid.c_str()};
    PGresult* r = PQexecParams(c, "SELECT txid_status($1::bigint)", 1, nullptr, values, nullptr, nullptr, 0);
    const std::string status =
        PQresultStatus(r) == PGRES_TUPLES_OK && PQntuples(r) == 1 && !PQgetisnull(r, 0, 0) ? PQgetvalue(r, 0, 0) : "";
    PQclear(r);
    committed = status == "committed";
    if (status != "in progress" || std::chrono::steady_clock::now() >= until) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  PQfinish(c);
  return committed;
}

void PostgresSession::Rollback() {
  const int depth = TransactionDepth();
  if (depth == 0) throw Error(kErrState, "No transaction is active.");
  if (depth > 1) {
    const std::string name = "s" + std::to_string(depth);
    RunSimple("ROLLBACK TO SAVEPOINT " + name);
    RunSimple("RELEASE SAVEPOINT " + name);
    depth_ = depth - 1;
    if (changed_.size() > static_cast<size_t>(depth)) changed_.resize(static_cast<size_t>(depth));
    return;
  }
  depth_ = 0;
  begin_wal_.clear();
  StampAfterCommit(false);   // the commit that the stamp stood for never comes
  RunSimple("ROLLBACK");
}

int PostgresSession::TransactionDepth() const {
  if (!handle_ || PQstatus(handle_->conn) != CONNECTION_OK) return 0;
  if (PQtransactionStatus(handle_->conn) == PQTRANS_IDLE) return 0;
  return depth_ > 0 ? depth_ : 1;
}

void PostgresSession::Insert(const std::string& table, const std::vector<std::string>& columns,
                             const std::vector<Value>& values) {
  Conn();
  const std::vector<jet::Column>* cols = ColumnsOf(table);
  if (!cols) throw Error(kErrCommand, "no such table: " + table);
  const std::string* name = TableNamed(table, false);
  jet::Translation tr =
      jet::InsertStatement(name ? *name : table, *cols, columns, values, &pg::Quote, &pg::Placeholder);
  const std::string sql = jet::NarrowToBackend(tr.text);
  const std::vector<Value>& params = tr.params;
  PQclear(Run(sql, params, true, true));
}

}  // namespace ado::detail
