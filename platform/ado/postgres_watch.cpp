// The row watch of the PostgreSQL backend (PostgresSession::KeptRowsStamp).
//
// Each watched table carries a statement trigger, tally_change_watch, that
// counts in the sequence tally_changes every statement that deletes rows,
// updates a column that is not free, or empties the table. The stamp is the
// count with each watched table's oid and storage (relfilenode): a table
// dropped and made again, emptied or put back from a dump has new storage,
// so a restored database never shows an old stamp. The state is read by the
// function tally_watch_state (its plans kept by the server from one call to
// the next) with the transaction's BEGIN, in its round trip; NULL while a
// watched table lacks its trigger.
#include <cstdlib>
#include <functional>

#include "postgres_session.h"

namespace ado::detail {
namespace {

constexpr int kLockClass = 1952541804;   // as the numbering locks ("Tall")
constexpr int kWatchLock = 1;            // 0 is the schema lock

std::string Literal(const std::string& text) {
  std::string out = "'";
  for (char c : text) {
    out += c;
    if (c == '\'') out += '\'';
  }
  return out + "'";
}

std::string Lower(std::string text) {
  for (char& c : text) c = jet::FoldCase(c);
  return text;
}

// The watched tables' names as a text array: as given, and folded (a table
// made by another program may have its name in lower case).
std::string WatchedNames(const std::vector<RowWatch>& watch) {
  std::string list;
  for (const RowWatch& w : watch)
    for (const std::string& name : {w.table, Lower(w.table)}) {
      std::string element = "\"";
      for (char c : name) {
        if (c == '"' || c == '\\') element += '\\';
        element += c;
      }
      list += (list.empty() ? "" : ",") + element + "\"";
    }
  return Literal("{" + list + "}") + "::text[]";
}

// Runs one statement outside the session's bookkeeping; throws its failure.
struct Raw {
  PGconn* conn;
  PGresult* operator()(const std::string& sql) const {
    PGresult* r = PQexec(conn, sql.c_str());
    const ExecStatusType st = PQresultStatus(r);
    if (st != PGRES_COMMAND_OK && st != PGRES_TUPLES_OK) {
      const std::string message = PQresultErrorMessage(r);
      PQclear(r);
      throw Error(kErrProvider, message);
    }
    return r;
  }
  void Do(const std::string& sql) const { PQclear((*this)(sql)); }
};

}  // namespace

void PostgresSession::WatchRows(std::vector<RowWatch> tables) { watch_ = std::move(tables); }

std::string PostgresSession::WatchStateQuery() const { return "SELECT tally_watch_state(" + WatchedNames(watch_) + ")"; }

// Makes what the watch lacks, on a connection of its own (whatever befalls
// it leaves this session's alone) under a lock of its own, so that two
// programs do not make it at once. A failure (no right to make triggers, a
// lock that would deadlock, a lost connection) leaves the watch as it was:
// the stamp is then ChangeStamp's. True when the watch is whole.
bool PostgresSession::MakeWatch() {
  Conn();
  PgHandle& h = *handle_;
  h.watch_tried = true;
  PGconn* c = nullptr;
  try {
    c = ConnectPg(h.param_keys, h.param_values, database_);
  } catch (const Error&) {
    return false;
  }
  bool whole = false;
  const Raw raw{c};
  try {
    raw.Do("BEGIN");
    raw.Do("SELECT pg_advisory_xact_lock(" + std::to_string(kLockClass) + ", " + std::to_string(kWatchLock) + ")");
    PGresult* r = raw("SELECT current_schema(), to_regclass('tally_changes') IS NOT NULL, "
                      "to_regprocedure('tally_note_change()') IS NOT NULL, "
                      "to_regprocedure('tally_watch_state(text[])') IS NOT NULL");
    const std::string schema = PQgetisnull(r, 0, 0) ? "" : PQgetvalue(r, 0, 0);
    const bool has_sequence = PQgetvalue(r, 0, 1)[0] == 't';
    const bool has_function = PQgetvalue(r, 0, 2)[0] == 't';
    const bool has_state = PQgetvalue(r, 0, 3)[0] == 't';
    PQclear(r);
    if (schema.empty()) throw Error(kErrProvider, "no schema to make the row watch in");
    if (!has_sequence) raw.Do("CREATE SEQUENCE tally_changes; SELECT nextval('tally_changes')");
    if (!has_function) {
      // Runs as its owner, so that a program allowed to delete rows but not
      // to use the sequence can still delete them.
      const std::string sequence = Literal(pg::Quote(schema) + ".tally_changes");
      raw.Do("CREATE FUNCTION tally_note_change() RETURNS trigger LANGUAGE plpgsql SECURITY DEFINER "
             "SET search_path = pg_catalog, pg_temp AS $$BEGIN PERFORM nextval(" + sequence +
             "); RETURN NULL; END$$");
    }
    if (!has_state) {
      raw.Do("CREATE FUNCTION tally_watch_state(names text[]) RETURNS text LANGUAGE plpgsql STABLE SECURITY DEFINER "
             "SET search_path = " + pg::Quote(schema) + ", pg_catalog, pg_temp AS $$\n"
             "DECLARE tables text;\n"
             "BEGIN\n"
             "  SELECT CASE WHEN bool_and(t.oid IS NOT NULL) THEN string_agg(c.oid || '.' || c.relfilenode, ',' "
             "ORDER BY c.oid) END INTO tables\n"
             "    FROM pg_class c LEFT JOIN pg_trigger t ON t.tgrelid = c.oid AND t.tgname = 'tally_change_watch'\n"
             "   WHERE c.relname = ANY (names) AND c.relkind = 'r'\n"
             "     AND c.relnamespace = (SELECT oid FROM pg_namespace WHERE nspname = current_schema());\n"
             "  RETURN (SELECT last_value FROM tally_changes) || '/' || tables;\n"
             "END $$");
    }
    // The watched tables without the trigger, with their columns.
    r = raw("SELECT c.relname, a.attname FROM pg_class c JOIN pg_attribute a ON a.attrelid = c.oid "
            "AND a.attnum > 0 AND NOT a.attisdropped "
            "WHERE c.relnamespace = (SELECT oid FROM pg_namespace WHERE nspname = current_schema()) "
            "AND c.relkind = 'r' AND lower(c.relname) = ANY (" + WatchedNames(watch_) + ") AND NOT EXISTS "
            "(SELECT 1 FROM pg_trigger t WHERE t.tgrelid = c.oid AND t.tgname = 'tally_change_watch') "
            "ORDER BY c.relname, a.attnum");
    std::vector<std::pair<std::string, std::string>> columns;
    for (int i = 0; i < PQntuples(r); ++i) columns.emplace_back(PQgetvalue(r, i, 0), PQgetvalue(r, i, 1));
    PQclear(r);
    for (size_t i = 0; i < columns.size();) {
      const std::string table = columns[i].first;
      const RowWatch* w = nullptr;
      for (const RowWatch& candidate : watch_)
        if (Lower(candidate.table) == Lower(table)) w = &candidate;
      std::string watched;
      for (; i < columns.size() && columns[i].first == table; ++i) {
        bool free = false;
        if (w)
          for (const std::string& f : w->free_columns) free = free || Lower(f) == Lower(columns[i].second);
        if (!free) watched += (watched.empty() ? "" : ", ") + pg::Quote(columns[i].second);
      }
      raw.Do("CREATE TRIGGER tally_change_watch AFTER " + (watched.empty() ? "" : "UPDATE OF " + watched + " OR ") +
             "DELETE OR TRUNCATE ON " + pg::Quote(table) + " FOR EACH STATEMENT EXECUTE FUNCTION tally_note_change()");
    }
    r = raw(WatchStateQuery());
    whole = PQntuples(r) == 1 && !PQgetisnull(r, 0, 0);
    PQclear(r);
    raw.Do("COMMIT");
  } catch (const Error&) {
    whole = false;
  }
  PQfinish(c);
  return whole;
}

uint64_t PostgresSession::KeptRowsStamp() {
  if (watch_.empty()) return ChangeStamp();
  std::string state;
  if (TransactionDepth() > 0) {
    state = begin_watch_;
  } else if (handle_ && handle_->watch_whole) {
    PGresult* r = PQexec(Conn(), WatchStateQuery().c_str());
    if (PQresultStatus(r) == PGRES_TUPLES_OK && PQntuples(r) == 1 && !PQgetisnull(r, 0, 0)) state = PQgetvalue(r, 0, 0);
    const bool lost = PQstatus(handle_->conn) != CONNECTION_OK;
    PQclear(r);
    if (lost) throw ErrorOf(nullptr);
  }
  if (state.empty()) return ChangeStamp();
  // The top bit keeps these apart from ChangeStamp's numbers, which count up.
  return std::hash<std::string>{}(database_ + '\n' + state) | (uint64_t{1} << 63);
}

}  // namespace ado::detail
