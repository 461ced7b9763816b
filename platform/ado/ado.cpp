// Value, Connection and the provider choice. Recordset is in recordset.cpp.
#include "ado.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <optional>

#include "backend.h"
#include "datetime.h"
#include "jet_sql.h"
#include "numbers.h"

namespace ado {
namespace {

const char kTypeMismatch[] = "Type mismatch";
const char kNullUse[] = "Invalid use of Null";

std::string Trim(const std::string& s) {
  size_t b = s.find_first_not_of(" \t\r\n");
  if (b == std::string::npos) return "";
  size_t e = s.find_last_not_of(" \t\r\n");
  return s.substr(b, e - b + 1);
}

// A whole text as a number; false when it is none.
bool ParseNumber(const std::string& text, double* out) {
  std::optional<double> v = numbers::Whole(text, " \t\r\n");
  if (v) *out = *v;
  return v.has_value();
}

int64_t RoundToInteger(double d) {
  // Banker's rounding, as the designed platform converts.
  double r = std::nearbyint(d);
  if (!(r >= -9223372036854775808.0 && r < 9223372036854775808.0)) throw Error(kErrConversion, "Overflow");
  return static_cast<int64_t>(r);
}

std::mutex g_decorator_mutex;
detail::SessionDecorator g_decorator;

}  // namespace

// ---- Value ----

Value Value::Integer(int64_t v) {
  Value x;
  x.type_ = Type::Integer;
  x.i_ = v;
  return x;
}
Value Value::Double(double v) {
  Value x;
  x.type_ = Type::Double;
  x.d_ = v;
  return x;
}
Value Value::Text(std::string v) {
  Value x;
  x.type_ = Type::Text;
  x.s_ = std::move(v);
  return x;
}
Value Value::DateTime(double serial) {
  Value x;
  x.type_ = Type::DateTime;
  x.d_ = serial;
  return x;
}
Value Value::Bytes(std::vector<uint8_t> v) {
  Value x;
  x.type_ = Type::Bytes;
  x.b_ = std::move(v);
  return x;
}

int64_t Value::AsInteger() const {
  switch (type_) {
    case Type::Integer:
      return i_;
    case Type::Double:
    case Type::DateTime:
      return RoundToInteger(d_);
    case Type::Text: {
      double d;
      if (!ParseNumber(s_, &d)) throw Error(kErrConversion, kTypeMismatch);
      return RoundToInteger(d);
    }
    case Type::Null:
      throw Error(kErrConversion, kNullUse);
    default:
      throw Error(kErrConversion, kTypeMismatch);
  }
}

double Value::AsDouble() const {
  switch (type_) {
    case Type::Integer:
      return static_cast<double>(i_);
    case Type::Double:
    case Type::DateTime:
      return d_;
    case Type::Text: {
      double d;
      if (!ParseNumber(s_, &d)) throw Error(kErrConversion, kTypeMismatch);
      return d;
    }
    case Type::Null:
      throw Error(kErrConversion, kNullUse);
    default:
      throw Error(kErrConversion, kTypeMismatch);
  }
}

bool Value::AsBool() const {
  if (type_ == Type::Text) {
    if (jet::EqualsNoCase(Trim(s_), "true")) return true;
    if (jet::EqualsNoCase(Trim(s_), "false")) return false;
  }
  return AsDouble() != 0;
}

std::string Value::AsText() const {
  switch (type_) {
    case Type::Integer:
      return std::to_string(i_);
    case Type::Double: {
      char buf[40];
      std::snprintf(buf, sizeof buf, "%.15G", d_);
      return buf;
    }
    case Type::Text:
      return s_;
    case Type::DateTime:
      return datetime::FormatGeneral(d_);
    case Type::Bytes:
      return std::string(b_.begin(), b_.end());
    default:
      throw Error(kErrConversion, kNullUse);
  }
}

double Value::AsDateTime() const {
  switch (type_) {
    case Type::Integer:
      return static_cast<double>(i_);
    case Type::Double:
    case Type::DateTime:
      return d_;
    case Type::Text: {
      double serial;
      if (!datetime::Parse(s_, &serial)) throw Error(kErrConversion, kTypeMismatch);
      return serial;
    }
    case Type::Null:
      throw Error(kErrConversion, kNullUse);
    default:
      throw Error(kErrConversion, kTypeMismatch);
  }
}

const std::vector<uint8_t>& Value::AsBytes() const {
  if (type_ != Type::Bytes) throw Error(kErrConversion, type_ == Type::Null ? kNullUse : kTypeMismatch);
  return b_;
}

// ---- Providers ----

namespace detail {

Rows ProviderTypeRowset(const TypeRow* rows, size_t count) {
  auto text = [](const char* s) { return s ? Value::Text(s) : Value(); };
  auto flag = [](int f) { return f < 0 ? Value() : Value::Boolean(f != 0); };
  Rows r;
  r.names = {"TYPE_NAME", "DATA_TYPE", "COLUMN_SIZE", "LITERAL_PREFIX", "LITERAL_SUFFIX", "IS_LONG", "BEST_MATCH"};
  for (size_t i = 0; i < count; ++i) {
    const TypeRow& t = rows[i];
    r.rows.push_back({Value::Text(t.name), Value::Integer(t.data_type), Value::Integer(t.column_size),
                      text(t.prefix), text(t.suffix), flag(t.is_long), flag(t.best_match)});
  }
  return r;
}

namespace {

enum class Provider { Sqlite, Postgres };

// The backend that the Provider= setting names; throws Error when the text
// is empty or names none.
Provider ProviderOf(const std::string& cs) {
  if (cs.find_first_not_of(" \t\r\n") == std::string::npos)
    throw Error(kErrProvider, "The connection string is empty: it must name a Provider= and a Data Source=.");
  const std::string provider = Trim(ConnectionSetting(cs, "Provider"));
  if (provider.empty())
    throw Error(kErrNoProvider, "The connection string names no provider: a Provider= setting is required.");
  if (jet::EqualsNoCase(provider, "Microsoft.Jet.OLEDB.3.51") || jet::EqualsNoCase(provider, "SQLite"))
    return Provider::Sqlite;
  if (jet::EqualsNoCase(provider, "PostgreSQL")) return Provider::Postgres;
  throw Error(kErrNoProvider, "Provider cannot be found. It may not be properly installed.");
}

}  // namespace

std::shared_ptr<Session> OpenSession(const std::string& cs) {
  return ProviderOf(cs) == Provider::Sqlite ? OpenSqliteSession(cs) : OpenPostgresSession(cs);
}

bool ReadsUtf8Texts(const ConnectionSettings& cs) {
  const std::string texts = Trim(cs.Get("Texts"));
  if (texts.empty() || jet::EqualsNoCase(texts, "Narrow")) return false;
  if (jet::EqualsNoCase(texts, "UTF-8")) return true;
  throw Error(kErrProvider, "Invalid Texts setting '" + texts + "': Narrow or UTF-8 expected.");
}

void SetSessionDecorator(SessionDecorator decorator) {
  std::lock_guard<std::mutex> lock(g_decorator_mutex);
  g_decorator = std::move(decorator);
}

}  // namespace detail

void CheckConnectionString(const std::string& cs) {
  if (detail::ProviderOf(cs) == detail::Provider::Sqlite)
    detail::CheckSqliteSettings(cs);
  else
    detail::CheckPostgresSettings(cs);
}

// ---- Connection ----

Connection::Connection() = default;

Connection::~Connection() {
  try {
    Close();
  } catch (...) {
  }
}

void Connection::Open(const std::string& connection_string, const std::string& /*user_id*/,
                      const std::string& /*password*/, int /*options*/) {
  if (IsOpen()) throw Error(kErrState, "Operation is not allowed when the object is open.");
  const std::string cs = connection_string.empty() ? connection_string_ : connection_string;
  std::shared_ptr<detail::Session> session = detail::OpenSession(cs);
  detail::SessionDecorator decorator;
  {
    std::lock_guard<std::mutex> lock(g_decorator_mutex);
    decorator = g_decorator;
  }
  if (decorator) session = decorator(std::move(session));
  connection_string_ = cs;
  session_ = std::move(session);
}

void Connection::Close() {
  if (!session_) return;
  std::shared_ptr<detail::Session> s = std::move(session_);
  session_.reset();
  s->Close();
}

bool Connection::IsOpen() const { return session_ && session_->IsOpen(); }

detail::Session& Connection::session() { return *shared_session(); }

std::shared_ptr<detail::Session> Connection::shared_session() const {
  if (!IsOpen()) throw Error(kErrState, "Operation is not allowed when the object is closed.");
  return session_;
}

bool Connection::NumberingLock(const std::string& table) { return session().NumberingLock(table); }
bool Connection::NumberFromCounter(const std::string& table, int64_t* number) {
  return session().NumberFromCounter(table, number);
}
void Connection::SchemaLock() { session().SchemaLock(); }

std::shared_ptr<Recordset> Connection::Execute(const std::string& statement, int options) {
  std::unique_ptr<detail::Cursor> cursor = (options & kFirstRowOnly) && options != kOptionUnspecified
                                               ? session().ExecuteFirstRow(statement)
                                               : session().Execute(statement);
  auto rs = std::make_shared<Recordset>();
  if (cursor) rs->Attach(std::move(cursor));
  return rs;
}

int Connection::BeginTrans() {
  session().Begin();
  return session_->TransactionDepth();
}
void Connection::CommitTrans() { session().Commit(); }
void Connection::RollbackTrans() { session().Rollback(); }
bool Connection::InTransaction() const { return IsOpen() && session_->InTransaction(); }
uint64_t Connection::ChangeStamp() { return session().ChangeStamp(); }
void Connection::WatchRows(std::vector<RowWatch> tables) { session().WatchRows(std::move(tables)); }
uint64_t Connection::KeptRowsStamp() { return session().KeptRowsStamp(); }

int Connection::TransactionLevel() const { return IsOpen() ? session_->TransactionDepth() : 0; }

bool Connection::FailedStatementsUndone() const { return IsOpen() && session_->FailedStatementsUndone(); }

std::shared_ptr<Recordset> Connection::OpenSchema(int schema) {
  detail::Rows rows;
  if (schema == kSchemaTables) {
    rows = session().Tables();
  } else if (schema == kSchemaProviderTypes) {
    rows = session().ProviderTypes();
  } else {
    throw Error(kErrState, "Object or provider is not capable of performing requested operation.");
  }
  auto rs = std::make_shared<Recordset>();
  rs->Load(std::move(rows.names), std::move(rows.rows));
  return rs;
}

}  // namespace ado
