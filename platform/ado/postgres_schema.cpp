// The PostgreSQL backend: type names, schema rowsets, the catalog, reading
// values, errors.
#include <cstdlib>
#include <cstring>

#include "datetime.h"
#include "postgres_session.h"

namespace ado::detail {
namespace {

// Type oids of the built-in types read here.
enum : unsigned {
  kBool = 16, kBytea = 17, kInt8 = 20, kInt2 = 21, kInt4 = 23, kOid = 26, kFloat4 = 700, kFloat8 = 701,
  kBpchar = 1042, kVarchar = 1043, kText = 25, kDate = 1082, kTimestamp = 1114, kTimestampTz = 1184,
  kNumeric = 1700
};

// PostgreSQL's names, in the order reported. There is no DATA_TYPE 7 row:
// PostgreSQL's date-time is timestamp (135).
const TypeRow kTypes[] = {
    {"boolean", 11, 1, nullptr, nullptr, 0, 1},
    {"smallint", 2, 5, nullptr, nullptr, 0, 1},
    {"integer", 3, 10, nullptr, nullptr, 0, 1},
    {"bigint", 20, 19, nullptr, nullptr, 0, 1},
    {"real", 4, 7, nullptr, nullptr, 0, 1},
    {"double precision", 5, 15, nullptr, nullptr, 0, 1},
    {"numeric", 131, 1000, nullptr, nullptr, 0, 1},
    {"date", 133, 10, "'", "'", 0, 1},
    {"timestamp", 135, 19, "'", "'", 0, 1},
    {"character", 129, 10485760, "'", "'", 0, 0},
    {"varchar", 129, 10485760, "'", "'", 0, 1},
    {"text", 129, 1073741823, "'", "'", 1, 0},
    {"bytea", 128, 1073741823, "'\\x", "'", 1, 0},
};


}  // namespace

jet::ColumnKind KindOfPgType(unsigned oid) {
  switch (oid) {
    case kBool: case kInt2: case kInt4: case kInt8: case kOid:
      return jet::ColumnKind::Integer;
    case kFloat4: case kFloat8: case kNumeric:
      return jet::ColumnKind::Double;
    case kDate: case kTimestamp: case kTimestampTz:
      return jet::ColumnKind::DateTime;
    case kBpchar: case kVarchar: case kText:
      return jet::ColumnKind::Text;
    case kBytea:
      return jet::ColumnKind::Bytes;
    default:
      return jet::ColumnKind::Other;
  }
}

Value ReadPgValue(const PGresult* r, int row, int col, bool utf8) {
  if (PQgetisnull(r, row, col)) return Value();
  const char* text = PQgetvalue(r, row, col);
  const int length = PQgetlength(r, row, col);
  const unsigned oid = PQftype(r, col);
  switch (oid) {
    case kBool:
      return Value::Boolean(text[0] == 't');
    case kInt2: case kInt4: case kInt8: case kOid:
      return Value::Integer(std::strtoll(text, nullptr, 10));
    case kFloat4: case kFloat8: case kNumeric:
      return Value::Double(std::strtod(text, nullptr));
    case kDate: case kTimestamp: case kTimestampTz: {
      double serial;
      std::string t(text, static_cast<size_t>(length));
      if (oid == kTimestampTz && t.size() > 19) t.resize(19);   // drop the zone offset
      if (datetime::Parse(t, &serial)) return Value::DateTime(serial);
      return Value::Text(t);
    }
    case kBytea: {
      size_t n = 0;
      unsigned char* raw = PQunescapeBytea(reinterpret_cast<const unsigned char*>(text), &n);
      if (!raw) throw Error(kErrProvider, "Out of memory reading a binary value.");
      std::vector<uint8_t> bytes(raw, raw + n);
      PQfreemem(raw);
      return Value::Bytes(std::move(bytes));
    }
    default:
      return Value::Text(utf8 ? std::string(text, static_cast<size_t>(length))
                              : jet::BackendToNarrow(std::string(text, static_cast<size_t>(length))));
  }
}

Error PgError(const char* sqlstate, const std::string& utf8_message, bool connection_lost) {
  const std::string message = jet::BackendToNarrow(utf8_message);
  const std::string state = sqlstate ? sqlstate : "";
  // A lost connection: a failure of its own, so that the caller keeps the
  // work for later instead of retrying a lock or taking a new number.
  if (connection_lost || state.compare(0, 2, "08") == 0 || state == "57P01" || state == "57P02" ||
      state == "57P03") {
    std::string d = "The connection to the PostgreSQL server was lost";
    if (message.find("locked") == std::string::npos && message.find("duplicate") == std::string::npos)
      d += " (" + message + ")";
    return Error(kErrProvider, d + ".", true);
  }
  // Out of disk, memory or connections, an input/output or internal failure
  // of the server: the database fails as a whole, whatever the statement.
  const bool unavailable = state.compare(0, 2, "53") == 0 || state.compare(0, 2, "58") == 0 ||
                           state.compare(0, 2, "XX") == 0;
  if (state == "55P03" || state == "40P01" || state == "40001")
    return Error(kErrProvider, "Could not update; currently locked by another session on this machine. (" +
                                   message + ")", false, ErrorKind::Locked);
  if (state == "23505") {
    std::string d =
        "The changes you requested to the table were not successful because they would create duplicate "
        "values in the index, primary key, or relationship.";
    if (message.find("locked") == std::string::npos) d += " (" + message + ")";
    return Error(kErrProvider, d, false, ErrorKind::Duplicate);
  }
  std::string plain = message;
  if (plain.find("locked") != std::string::npos || plain.find("duplicate") != std::string::npos) plain = state;
  if (state.compare(0, 2, "23") == 0) return Error(kErrIntegrity, plain);
  if (state == "22001") {
    return Error(kErrDataOverflow,
                 "The field is too small to accept the amount of data you attempted to add.  "
                 "Try inserting or pasting less data.");
  }
  if (state == "22P02" || state == "22007" || state == "22008" || state == "42804" || state == "22003")
    return Error(kErrConversion, "Data type mismatch in criteria expression. (" + plain + ")");
  if (state.compare(0, 2, "42") == 0 || state.compare(0, 2, "22") == 0 || state.compare(0, 2, "0A") == 0)
    return Error(kErrCommand, plain);
  if (state == "57014") return Error(kErrProvider, "The statement took longer than the Command Timeout (" + plain + ").");
  return Error(kErrProvider, plain.empty() ? "PostgreSQL failed without a message." : plain, unavailable);
}

// ---- the session's catalog ----

namespace {

// The tables (and views) of the database that a statement can name.
constexpr char kTablesQuery[] =
    "SELECT c.relname FROM pg_catalog.pg_class c WHERE c.relkind IN ('r','p','v','m') "
    "AND pg_catalog.pg_table_is_visible(c.oid) AND c.relnamespace <> 'pg_catalog'::regnamespace "
    "AND c.relnamespace <> 'information_schema'::regnamespace";

}  // namespace

void PostgresSession::LoadTables() {
  PGresult* r = Run(std::string(kTablesQuery) + " ORDER BY c.relname", {}, true, false);
  pg::Catalog& cat = handle_->catalog;
  for (int i = 0; i < PQntuples(r); ++i) cat.AddTable(jet::BackendToNarrow(PQgetvalue(r, i, 0)));
  PQclear(r);
  cat.tables_loaded = true;
}

// Reads from the catalog only the tables whose names equal `name` without
// regard to case (lower() folds at least what FoldCase folds): one made
// since the list was read costs a lookup of its own, not the whole list.
const std::string* PostgresSession::LookUpTable(const std::string& name) {
  PGresult* r = Run(std::string(kTablesQuery) + " AND lower(c.relname) = lower($1)", {Value::Text(name)}, true, false);
  std::vector<std::string> found;
  for (int i = 0; i < PQntuples(r); ++i) found.push_back(jet::BackendToNarrow(PQgetvalue(r, i, 0)));
  PQclear(r);
  pg::Catalog& cat = handle_->catalog;
  cat.SetTablesLike(name, found);
  return cat.FindTable(name);
}

const std::string* PostgresSession::TableNamed(const std::string& name, bool refresh) {
  pg::Catalog& cat = handle_->catalog;
  if (!cat.tables_loaded) LoadTables(), refresh = false;
  const std::string* found = cat.FindTable(name);
  if (!found && refresh) found = LookUpTable(name);
  return found;
}

const std::string* PostgresSession::TableNamedNow(const std::string& name) {
  if (!handle_->catalog.tables_loaded) LoadTables();
  return LookUpTable(name);
}

const std::vector<jet::Column>* PostgresSession::ColumnsOf(const std::string& table) {
  const std::string* name = TableNamed(table, false);
  if (!name) name = TableNamed(table, true);
  if (!name) return nullptr;
  auto& columns = handle_->catalog.columns;
  auto it = columns.find(*name);
  if (it != columns.end()) return &it->second;
  const std::string key = *name;
  PGresult* r = Run(
      "SELECT a.attname, pg_catalog.format_type(a.atttypid, a.atttypmod), a.atttypid, a.atttypmod "
      "FROM pg_catalog.pg_attribute a JOIN pg_catalog.pg_class c ON c.oid = a.attrelid "
      "WHERE c.relname = $1 AND pg_catalog.pg_table_is_visible(c.oid) AND a.attnum > 0 "
      "AND NOT a.attisdropped ORDER BY a.attnum",
      {Value::Text(key)}, true, false);
  std::vector<jet::Column> cols;
  for (int i = 0; i < PQntuples(r); ++i) {
    jet::Column c;
    c.name = jet::BackendToNarrow(PQgetvalue(r, i, 0));
    c.type_name = PQgetvalue(r, i, 1);
    const unsigned oid = static_cast<unsigned>(std::strtoul(PQgetvalue(r, i, 2), nullptr, 10));
    const long typmod = std::strtol(PQgetvalue(r, i, 3), nullptr, 10);
    c.kind = KindOfPgType(oid);
    c.size = (oid == kVarchar || oid == kBpchar) && typmod >= 4 ? static_cast<int>(typmod - 4) : 0;
    cols.push_back(std::move(c));
  }
  PQclear(r);
  if (cols.empty()) return nullptr;
  return &(columns[key] = std::move(cols));
}

std::vector<jet::Column> PostgresSession::Columns(const std::string& table) {
  Conn();
  const std::vector<jet::Column>* cols = ColumnsOf(table);
  if (!cols) throw Error(kErrCommand, "no such table: " + table);
  return *cols;
}

Rows PostgresSession::ProviderTypes() {
  Conn();
  return ProviderTypeRowset(kTypes, std::size(kTypes));
}

Rows PostgresSession::Tables() {
  Conn();
  PGresult* res = Run(
      "SELECT c.relname, c.relkind FROM pg_catalog.pg_class c WHERE c.relkind IN ('r','p','v','m') "
      "AND pg_catalog.pg_table_is_visible(c.oid) AND c.relnamespace <> 'pg_catalog'::regnamespace "
      "AND c.relnamespace <> 'information_schema'::regnamespace ORDER BY c.relname",
      {}, true, false);
  Rows r;
  r.names = {"TABLE_CATALOG", "TABLE_SCHEMA", "TABLE_NAME", "TABLE_TYPE"};
  for (int i = 0; i < PQntuples(res); ++i) {
    const char kind = PQgetvalue(res, i, 1)[0];
    r.rows.push_back({Value::Text(database_), Value(), Value::Text(jet::BackendToNarrow(PQgetvalue(res, i, 0))),
                      Value::Text(kind == 'v' || kind == 'm' ? "VIEW" : "TABLE")});
  }
  PQclear(res);
  return r;
}

// ---- PostgresCursor ----

PostgresCursor::PostgresCursor(PGresult* result, bool utf8_texts) : result_(result), utf8_texts_(utf8_texts) {
  const int n = PQnfields(result);
  for (int i = 0; i < n; ++i) {
    names_.push_back(jet::BackendToNarrow(PQfname(result, i)));
    types_.push_back(PQftype(result, i));
  }
}

PostgresCursor::~PostgresCursor() { PQclear(result_); }

bool PostgresCursor::Next(std::vector<Value>* row) {
  if (row_ >= PQntuples(result_)) return false;
  row->clear();
  for (int i = 0; i < static_cast<int>(names_.size()); ++i) row->push_back(ReadPgValue(result_, row_, i, utf8_texts_));
  ++row_;
  return true;
}

}  // namespace ado::detail
