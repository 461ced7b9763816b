// The SQLite backend: type names, schema rowsets, reading values, errors.
#include <cctype>

#include "datetime.h"
#include "sqlite_session.h"

namespace ado::detail {
namespace {

bool Has(const std::string& upper, const char* part) { return upper.find(part) != std::string::npos; }

// One row of the provider-types rowset; -1 flags are null.
// The SQLite type names, in the order reported. Each name declares a column
// that KindOfDeclaredType reads back as the kind the DATA_TYPE means.
const TypeRow kTypes[] = {
    {"BOOLEAN", 11, 1, nullptr, nullptr, 0, 1},
    {"SMALLINT", 2, 5, nullptr, nullptr, 0, 1},
    {"INTEGER", 3, 10, nullptr, nullptr, 0, 1},
    {"BIGINT", 20, 19, nullptr, nullptr, 0, 1},
    {"REAL", 4, 7, nullptr, nullptr, 0, 1},
    {"FLOAT", 5, 15, nullptr, nullptr, 0, 0},
    {"DOUBLE", 5, 15, nullptr, nullptr, 0, 1},
    {"NUMERIC", 131, 19, nullptr, nullptr, -1, -1},
    {"DATE", 133, 10, "#", "#", 0, 1},
    {"DATETIME", 7, 19, "#", "#", 0, 1},
    {"TIMESTAMP", 135, 19, "#", "#", 0, 1},
    {"CHAR", 129, 255, "'", "'", 0, 0},
    {"VARCHAR", 129, 255, "'", "'", 0, 1},
    {"TEXT", 129, 1073741823, "'", "'", 1, 0},
    {"VARBINARY", 128, 255, "X'", "'", 0, 1},
    {"BLOB", 128, 1073741823, "X'", "'", 1, 0},
};


std::string ColumnText(sqlite3_stmt* st, int i) {
  const unsigned char* t = sqlite3_column_text(st, i);
  return t ? std::string(reinterpret_cast<const char*>(t), static_cast<size_t>(sqlite3_column_bytes(st, i)))
           : std::string();
}

}  // namespace

jet::ColumnKind KindOfDeclaredType(const std::string& declared) {
  std::string u = declared;
  for (char& c : u) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (u.empty()) return jet::ColumnKind::Other;
  if (Has(u, "DATE") || Has(u, "TIME")) return jet::ColumnKind::DateTime;
  if (Has(u, "INT")) return jet::ColumnKind::Integer;
  if (Has(u, "CHAR") || Has(u, "CLOB") || Has(u, "TEXT")) return jet::ColumnKind::Text;
  if (Has(u, "BLOB") || Has(u, "BINARY")) return jet::ColumnKind::Bytes;
  if (Has(u, "REAL") || Has(u, "FLOA") || Has(u, "DOUB")) return jet::ColumnKind::Double;
  return jet::ColumnKind::Other;
}

Value ReadSqliteColumn(sqlite3_stmt* st, int i, jet::ColumnKind kind, bool utf8) {
  auto text_value = [&](std::string text) { return Value::Text(utf8 ? std::move(text) : jet::BackendToNarrow(text)); };
  const int type = sqlite3_column_type(st, i);
  if (type == SQLITE_NULL) return Value();
  const bool number = type == SQLITE_INTEGER || type == SQLITE_FLOAT;
  switch (kind) {
    case jet::ColumnKind::Double:
      if (number) return Value::Double(sqlite3_column_double(st, i));
      break;
    case jet::ColumnKind::DateTime:
      if (number) return Value::DateTime(sqlite3_column_double(st, i));
      if (type == SQLITE_TEXT) {
        std::string text = ColumnText(st, i);
        double serial;
        if (datetime::Parse(text, &serial)) return Value::DateTime(serial);
        return text_value(std::move(text));
      }
      break;
    case jet::ColumnKind::Text:
      if (number || type == SQLITE_TEXT) return text_value(ColumnText(st, i));
      break;
    case jet::ColumnKind::Bytes:
      if (type == SQLITE_TEXT) {   // bytes written as text by another program: the stored bytes
        std::string t = ColumnText(st, i);
        return Value::Bytes(std::vector<uint8_t>(t.begin(), t.end()));
      }
      break;
    default:
      break;
  }
  switch (type) {
    case SQLITE_INTEGER:
      return Value::Integer(sqlite3_column_int64(st, i));
    case SQLITE_FLOAT:
      return Value::Double(sqlite3_column_double(st, i));
    case SQLITE_TEXT:
      return text_value(ColumnText(st, i));
    default: {
      const auto* p = static_cast<const uint8_t*>(sqlite3_column_blob(st, i));
      const int n = sqlite3_column_bytes(st, i);
      return Value::Bytes(p ? std::vector<uint8_t>(p, p + n) : std::vector<uint8_t>());
    }
  }
}

Error SqliteError(int rc, const std::string& utf8_message) {
  const std::string message = jet::BackendToNarrow(utf8_message);
  const int primary = rc & 0xff;
  if (primary == SQLITE_BUSY || primary == SQLITE_LOCKED)
    return Error(kErrProvider, "Could not update; currently locked by another session on this machine. (" +
                                   message + ")", false, ErrorKind::Locked);
  if (rc == SQLITE_CONSTRAINT_UNIQUE || rc == SQLITE_CONSTRAINT_PRIMARYKEY) {
    std::string d =
        "The changes you requested to the table were not successful because they would create duplicate "
        "values in the index, primary key, or relationship.";
    // The backend's text names the table and column; a name holding the word
    // of a lock conflict must not turn this into one.
    if (message.find("locked") == std::string::npos) d += " (" + message + ")";
    return Error(kErrProvider, d, false, ErrorKind::Duplicate);
  }
  if (primary == SQLITE_CONSTRAINT) return Error(kErrIntegrity, message);
  if (primary == SQLITE_ERROR || primary == SQLITE_MISMATCH || primary == SQLITE_RANGE ||
      primary == SQLITE_TOOBIG || primary == SQLITE_AUTH || primary == SQLITE_SCHEMA)
    return Error(kErrCommand, message);
  // Input/output, full disk, read-only or damaged file: the provider's own
  // failures. Their texts are fixed and never hold the two words.
  const bool unavailable = primary == SQLITE_FULL || primary == SQLITE_IOERR ||
                           primary == SQLITE_CANTOPEN || primary == SQLITE_READONLY ||
                           primary == SQLITE_CORRUPT || primary == SQLITE_NOTADB ||
                           primary == SQLITE_NOMEM || primary == SQLITE_PERM ||
                           primary == SQLITE_NOLFS || primary == SQLITE_PROTOCOL;
  if (message.find("locked") != std::string::npos || message.find("duplicate") != std::string::npos)
    return Error(kErrCommand, message, unavailable);
  return Error(kErrProvider, message, unavailable);
}

Rows SqliteSession::ProviderTypes() {
  Prepare();
  return ProviderTypeRowset(kTypes, std::size(kTypes));
}

Rows SqliteSession::Tables() {
  Prepare();
  Rows r;
  r.names = {"TABLE_CATALOG", "TABLE_SCHEMA", "TABLE_NAME", "TABLE_TYPE"};
  r.rows.push_back({Value(), Value(), Value::Text("sqlite_master"), Value::Text("SYSTEM TABLE")});
  const std::string sql = "SELECT name, type FROM sqlite_master WHERE type IN ('table','view') ORDER BY name";
  sqlite3_stmt* st = Acquire(sql, false);
  int rc;
  while ((rc = Step(st)) == SQLITE_ROW) {
    std::string name = jet::BackendToNarrow(ColumnText(st, 0));
    std::string type = ColumnText(st, 1) == "view" ? "VIEW" : name.compare(0, 7, "sqlite_") == 0 ? "SYSTEM TABLE" : "TABLE";
    r.rows.push_back({Value(), Value(), Value::Text(name), Value::Text(type)});
  }
  if (rc != SQLITE_DONE) {
    Error e = LastError(rc);
    Release(sql, st, false);
    throw e;
  }
  Release(sql, st, false);
  return r;
}

}  // namespace ado::detail
