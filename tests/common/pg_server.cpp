#include "pg_server.h"

#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <fstream>
#include <set>
#include <stdexcept>

namespace testkit {
namespace {

const char* const kScript = TALLY_SOURCE_DIR "/scripts/pg-test-server.sh";

void RunScript(const std::string& command, const std::string& state, const std::string& extra = "") {
  std::string line = std::string("'") + kScript + "' " + command + " '" + state + "' " + extra;
  if (std::system(line.c_str()) != 0) throw std::runtime_error("pg-test-server.sh " + command + " failed");
}

PGconn* Connect(const std::string& dir, int port, const std::string& database) {
  const char* keys[] = {"host", "port", "dbname", "user", "client_encoding", "options", nullptr};
  const std::string p = std::to_string(port);
  const char* values[] = {dir.c_str(), p.c_str(), database.c_str(), "tally", "UTF8",
                          "-c DateStyle=ISO,MDY -c client_min_messages=warning", nullptr};
  return PQconnectdbParams(keys, values, 0);
}

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// Quotes every word of `sql` (outside '...') that names a table or column of
// the database, in the catalog's letter case.
std::string QuoteNames(PGconn* c, const std::string& sql) {
  PGresult* r = PQexec(c,
                       "SELECT table_name FROM information_schema.tables WHERE table_schema = 'public' "
                       "UNION SELECT column_name FROM information_schema.columns WHERE table_schema = 'public'");
  std::vector<std::string> names;
  for (int i = 0; PQresultStatus(r) == PGRES_TUPLES_OK && i < PQntuples(r); ++i) names.push_back(PQgetvalue(r, i, 0));
  PQclear(r);
  static const std::set<std::string> kKeep = {"select", "from", "where", "and", "or", "order", "by", "count",
                                               "max", "min", "group", "desc", "asc", "insert", "into", "values",
                                               "update", "set", "delete", "create", "table", "index", "on",
                                               "unique", "is", "not", "null", "as", "view", "limit", "drop"};
  std::string out;
  size_t i = 0;
  while (i < sql.size()) {
    char ch = sql[i];
    if (ch == '\'' || ch == '"') {   // texts and names already quoted pass unchanged
      size_t e = i + 1;
      while (e < sql.size() && !(sql[e] == ch && (e + 1 >= sql.size() || sql[e + 1] != ch))) e += sql[e] == ch ? 2 : 1;
      out.append(sql, i, std::min(e + 1, sql.size()) - i);
      i = e + 1;
    } else if (std::isalpha(static_cast<unsigned char>(ch)) || ch == '_') {
      size_t e = i;
      while (e < sql.size() && (std::isalnum(static_cast<unsigned char>(sql[e])) || sql[e] == '_')) ++e;
      std::string word = sql.substr(i, e - i);
      std::string quoted = word;
      if (!kKeep.count(Lower(word))) {
        for (const std::string& n : names) {
          if (n == word) { quoted = '"' + n + '"'; break; }
          if (Lower(n) == Lower(word)) quoted = '"' + n + '"';
        }
      }
      out += quoted;
      i = e;
    } else {
      out += ch;
      ++i;
    }
  }
  return out;
}

// Runs `text`; throws with the server's message when it fails.
void Run(PGconn* c, const std::string& text) {
  PGresult* r = PQexec(c, text.c_str());
  const bool ok = PQresultStatus(r) == PGRES_COMMAND_OK || PQresultStatus(r) == PGRES_TUPLES_OK;
  std::string m = PQresultErrorMessage(r);
  PQclear(r);
  if (!ok) throw std::runtime_error(m + " in " + text);
}

std::unique_ptr<PgServer> g_private;

}  // namespace

PgServer& PgServer::Shared() {
  static PgServer* shared = [] {
    const char* state = std::getenv("TALLY_PG_STATE");
    if (state) {
      try {
        auto* s = new PgServer(state, false);
        PGconn* c = Connect(s->dir_, s->port_, "postgres");
        const bool ok = PQstatus(c) == CONNECTION_OK;
        PQfinish(c);
        if (ok) return s;
        delete s;
      } catch (const std::exception&) {
      }
    }
    g_private = std::make_unique<PgServer>(false);
    return g_private.get();
  }();
  return *shared;
}

PgServer::PgServer(bool durable) : own_(true) {
  char name[] = "/tmp/tallypg-state.XXXXXX";
  int fd = ::mkstemp(name);
  if (fd < 0) throw std::runtime_error("mkstemp failed");
  ::close(fd);
  state_ = name;
  RunScript("start", state_, durable ? "durable" : "");
  std::ifstream in(state_);
  in >> dir_ >> port_;
}

PgServer::PgServer(std::string state_file, bool own) : state_(std::move(state_file)), own_(own) {
  std::ifstream in(state_);
  if (!(in >> dir_ >> port_)) throw std::runtime_error("no server state in " + state_);
}

PgServer::~PgServer() {
  if (!own_) return;
  try {
    RunScript("stop", state_);
  } catch (const std::exception&) {
  }
  ::unlink(state_.c_str());
}

std::string PgServer::ConnectionString(const std::string& database) const {
  return "Provider=PostgreSQL;Persist Security Info=False;Data Source=" + database + ";Location=" + dir_ + ":" +
         std::to_string(port_) + ";User ID=tally";
}

std::string PgServer::TcpConnectionString(const std::string& database, const std::string& password) const {
  return "Provider=PostgreSQL;Persist Security Info=False;Data Source=" + database + ";Location=127.0.0.1:" +
         std::to_string(port_) + ";User ID=tally;User Password=" + password;
}

std::string PgServer::CreateDatabase(const std::string& prefix) {
  static std::atomic<int> counter{0};
  const std::string name = Lower(prefix) + "_" + std::to_string(::getpid()) + "_" + std::to_string(++counter);
  PgExec(*this, "postgres", "CREATE DATABASE " + name + " TEMPLATE template0 ENCODING 'UTF8'");
  return name;
}

void PgServer::DropDatabase(const std::string& name) {
  PgExec(*this, "postgres", "DROP DATABASE IF EXISTS " + name + " WITH (FORCE)");
}

void PgServer::Pause() {
  if (own_) RunScript("pause", state_);
}

void PgServer::Resume() {
  if (own_) RunScript("resume", state_);
}

void PgServer::HoldAsynchronousCommits() {
  if (!own_) return;
  PgExec(*this, "postgres", "ALTER SYSTEM SET wal_writer_delay = '10s'");
  Pause();
  Resume();
}

std::vector<std::vector<std::string>> PgRows(const PgServer& server, const std::string& database,
                                             const std::string& sql) {
  std::vector<std::vector<std::string>> rows;
  PGconn* c = Connect(server.SocketFolder(), server.Port(), database);
  if (PQstatus(c) != CONNECTION_OK) {
    ADD_FAILURE() << PQerrorMessage(c);
    PQfinish(c);
    return rows;
  }
  const std::string text = QuoteNames(c, sql);
  PGresult* r = PQexec(c, text.c_str());
  if (PQresultStatus(r) != PGRES_TUPLES_OK) ADD_FAILURE() << PQresultErrorMessage(r) << " in " << text;
  for (int i = 0; PQresultStatus(r) == PGRES_TUPLES_OK && i < PQntuples(r); ++i) {
    rows.emplace_back();
    for (int j = 0; j < PQnfields(r); ++j) {
      if (PQgetisnull(r, i, j)) {
        rows.back().push_back("NULL");
        continue;
      }
      const char* v = PQgetvalue(r, i, j);
      const Oid type = PQftype(r, j);
      if (type == 700 || type == 701 || type == 1700) {
        char buf[40];
        std::snprintf(buf, sizeof buf, "%g", std::strtod(v, nullptr));
        rows.back().push_back(buf);
      } else if (type == 17) {
        size_t n = 0;
        unsigned char* raw = PQunescapeBytea(reinterpret_cast<const unsigned char*>(v), &n);
        rows.back().emplace_back(reinterpret_cast<const char*>(raw), n);
        PQfreemem(raw);
      } else {
        rows.back().emplace_back(v, static_cast<size_t>(PQgetlength(r, i, j)));
      }
    }
  }
  PQclear(r);
  PQfinish(c);
  return rows;
}

void PgExec(const PgServer& server, const std::string& database, const std::string& sql) {
  std::unique_ptr<PGconn, void (*)(PGconn*)> c(Connect(server.SocketFolder(), server.Port(), database), PQfinish);
  if (PQstatus(c.get()) != CONNECTION_OK) throw std::runtime_error(PQerrorMessage(c.get()));
  Run(c.get(), database == "postgres" ? sql : QuoteNames(c.get(), sql));
}

PgWriteLock::PgWriteLock(const PgServer& server, const std::string& database)
    : server_(server), database_(database) {
  conn_ = Connect(server.SocketFolder(), server.Port(), database);
  if (PQstatus(conn_) != CONNECTION_OK) throw std::runtime_error(PQerrorMessage(conn_));
  PGresult* r = PQexec(conn_,
                       "SELECT string_agg(quote_ident(table_name), ', ') FROM information_schema.tables "
                       "WHERE table_schema = 'public' AND table_type = 'BASE TABLE'");
  std::string tables = PQresultStatus(r) == PGRES_TUPLES_OK ? PQgetvalue(r, 0, 0) : "";
  PQclear(r);
  Exec("BEGIN");
  Exec("SET LOCAL lock_timeout = 3000");   // a lock that cannot be taken fails, as on SQLite
  if (!tables.empty()) Exec("LOCK TABLE " + tables + " IN EXCLUSIVE MODE");
}

void PgWriteLock::Exec(const std::string& sql) {
  if (!conn_) throw std::runtime_error("lock released");
  Run(conn_, QuoteNames(conn_, sql));
}

void PgWriteLock::Commit() {
  Exec("COMMIT");
  Release();
}

void PgWriteLock::Release() {
  if (!conn_) return;
  PQfinish(conn_);   // ends the transaction
  conn_ = nullptr;
}

}  // namespace testkit
