// PgWatch: libpq sessions of its own on the database and on "postgres".
#include "pg_watch.h"

#include <libpq-fe.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <vector>

namespace benchkit {
namespace {

using Rows = std::vector<std::vector<std::string>>;

PGconn* Open(const testkit::PgServer& server, const std::string& database) {
  const std::string port = std::to_string(server.Port());
  const char* keys[] = {"host", "port", "dbname", "user", "application_name", "options", nullptr};
  const char* values[] = {server.SocketFolder().c_str(), port.c_str(), database.c_str(), "tally", "bench",
                          "-c client_min_messages=warning", nullptr};
  PGconn* c = PQconnectdbParams(keys, values, 0);
  if (PQstatus(c) != CONNECTION_OK) {
    std::string m = PQerrorMessage(c);
    PQfinish(c);
    throw std::runtime_error("cannot connect to " + database + ": " + m);
  }
  return c;
}

// Rows of `sql` with its parameters as texts; none, and `ok` false, when it
// failed.
Rows Query(PGconn* c, const std::string& sql, const std::vector<std::string>& params = {}, bool* ok = nullptr) {
  std::vector<const char*> p;
  for (const auto& s : params) p.push_back(s.c_str());
  PGresult* r = PQexecParams(c, sql.c_str(), static_cast<int>(p.size()), nullptr, p.data(), nullptr, nullptr, 0);
  Rows rows;
  const bool good = PQresultStatus(r) == PGRES_TUPLES_OK;
  for (int i = 0; good && i < PQntuples(r); ++i) {
    rows.emplace_back();
    for (int j = 0; j < PQnfields(r); ++j) rows.back().emplace_back(PQgetvalue(r, i, j));
  }
  PQclear(r);
  if (ok) *ok = good;
  return rows;
}

const char* const kOfDatabase =
    " FROM pg_stat_statements s JOIN pg_database d ON d.oid = s.dbid"
    " WHERE d.datname = $1 AND s.query NOT LIKE '%/*bench*/%'";

}  // namespace

PgWatch::PgWatch(const testkit::PgServer& server, const std::string& database)
    : server_(server), database_(database) {
  admin_ = Open(server, "postgres");
  db_ = Open(server, database);
  own_pid_ = std::to_string(PQbackendPID(db_));
  PQclear(PQexec(admin_, "CREATE EXTENSION IF NOT EXISTS pg_stat_statements"));
}

PgWatch::~PgWatch() {
  PQfinish(db_);
  PQfinish(admin_);
}

void PgWatch::LogDurations() {
  char* name = PQescapeIdentifier(admin_, database_.c_str(), database_.size());
  PQclear(PQexec(admin_, ("ALTER DATABASE " + std::string(name) + " SET log_min_duration_statement = 0").c_str()));
  PQfreemem(name);
}

long long PgWatch::LogsRows() {
  bool ok = false;
  Rows r = Query(db_, "SELECT /*bench*/ count(*) FROM \"Logs\"", {}, &ok);
  return ok && !r.empty() ? std::atoll(r[0][0].c_str()) : -1;
}

void PgWatch::Sample(Activity& a) {
  Rows rows = Query(admin_,
                    "SELECT /*bench*/ coalesce(state, ''), coalesce(wait_event_type, ''), coalesce(wait_event, '') "
                    "FROM pg_stat_activity WHERE datname = $1 AND pid <> $2 AND backend_type = 'client backend'",
                    {database_, own_pid_});
  ++a.samples;
  for (const auto& r : rows) {
    const std::string &state = r[0], &type = r[1], &event = r[2];
    if (type == "Lock")
      ++(event == "advisory" ? a.advisory_wait : a.other_lock_wait);
    else if (type == "IO" || event.rfind("WAL", 0) == 0)
      ++a.io_wait;
    else if (state == "active")
      ++a.running;
    else if (state.rfind("idle in transaction", 0) == 0)
      ++a.in_transaction;
    else
      ++a.idle;
  }
}

Statements PgWatch::StatementTotals() {
  Rows r = Query(admin_,
                 std::string("SELECT /*bench*/ coalesce(sum(calls), 0), "
                             "coalesce(sum(rows) FILTER (WHERE query ILIKE 'select%'), 0), "
                             "coalesce(sum(calls) FILTER (WHERE query ILIKE 'commit%'), 0), "
                             "coalesce(sum(total_exec_time), 0), "
                             "coalesce(sum(total_exec_time) FILTER (WHERE query ILIKE '%pg_advisory%'), 0), "
                             "coalesce(sum(calls) FILTER (WHERE query ILIKE '%pg_advisory%'), 0)") +
                     kOfDatabase,
                 {database_});
  Statements s;
  if (r.empty()) return s;
  s.calls = std::atoll(r[0][0].c_str());
  s.select_rows = std::atoll(r[0][1].c_str());
  s.commits = std::atoll(r[0][2].c_str());
  s.exec_ms = std::atof(r[0][3].c_str());
  s.lock_call_ms = std::atof(r[0][4].c_str());
  s.lock_calls = std::atoll(r[0][5].c_str());
  return s;
}

std::string PgWatch::TopStatements(int n, bool by_calls) {
  Rows rows = Query(admin_,
                    std::string("SELECT /*bench*/ calls, rows, round(total_exec_time::numeric, 1), "
                                "regexp_replace(left(query, 160), '\\s+', ' ', 'g')") +
                        kOfDatabase + " ORDER BY " + (by_calls ? "calls" : "total_exec_time") + " DESC LIMIT " +
                        std::to_string(n),
                    {database_});
  std::string out;
  char line[64];
  for (const auto& r : rows) {
    std::snprintf(line, sizeof line, "%9s calls %9s rows %10s ms  ", r[0].c_str(), r[1].c_str(), r[2].c_str());
    out += line + r[3] + "\n";
  }
  return out;
}

std::string ServerLog(const testkit::PgServer& server, uint64_t from) {
  std::ifstream in(server.SocketFolder() + "/server.log", std::ios::binary);
  in.seekg(static_cast<std::streamoff>(from));
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

uint64_t ServerLogSize(const testkit::PgServer& server) {
  std::ifstream in(server.SocketFolder() + "/server.log", std::ios::binary | std::ios::ate);
  return in ? static_cast<uint64_t>(in.tellg()) : 0;
}

std::string ErrorLines(const std::string& log, int max) {
  std::string out, line;
  std::istringstream in(log);
  bool in_error = false;
  while (max > 0 && std::getline(in, line)) {
    const bool error = line.find("ERROR:") != std::string::npos;
    if (!error && !(in_error && (line.find("DETAIL:") != std::string::npos ||
                                 line.find("STATEMENT:") != std::string::npos))) {
      in_error = false;
      continue;
    }
    in_error = true;
    out += line + "\n";
    --max;
  }
  return out;
}

long long Occurrences(const std::string& text, const std::string& what) {
  long long n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++n;
  return n;
}

}  // namespace benchkit
