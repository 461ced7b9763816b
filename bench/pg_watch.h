// What a benchmark sees of one database on the test kit's PostgreSQL server
// while programs write it: the Logs rows stored so far, how the programs'
// sessions spend their time (sampled from pg_stat_activity), what their
// statements cost (pg_stat_statements, which the test server loads), and
// the errors the server logged.
//
// The watcher's own statements carry the comment /*bench*/ and are left out
// of the statement figures; its sessions are left out of the samples.
// Not thread-safe: one benchmark thread.
#pragma once

#include <cstdint>
#include <string>

#include "pg_server.h"

struct pg_conn;

namespace benchkit {

// Where the sampled sessions of the database were, as counts of samples
// (one session seen once is one sample).
struct Activity {
  long long running = 0;        // executing a statement
  long long advisory_wait = 0;  // waiting for an advisory lock
  long long other_lock_wait = 0;
  long long io_wait = 0;        // waiting on I/O or the write-ahead log (commits)
  long long in_transaction = 0; // idle in a transaction: waiting for the client
  long long idle = 0;           // between transactions
  long long samples = 0;        // looks at the database taken
  long long Total() const {
    return running + advisory_wait + other_lock_wait + io_wait + in_transaction + idle;
  }
};

// The statements run in the database so far (pg_stat_statements).
struct Statements {
  long long calls = 0;
  long long select_rows = 0;     // rows returned by SELECT statements
  long long commits = 0;
  double exec_ms = 0;            // the server's time executing them
  double lock_call_ms = 0;       // of which in statements taking advisory locks
  long long lock_calls = 0;
};

class PgWatch {
 public:
  PgWatch(const testkit::PgServer& server, const std::string& database);
  ~PgWatch();
  PgWatch(const PgWatch&) = delete;
  PgWatch& operator=(const PgWatch&) = delete;

  // Makes the server log every statement that sessions opened from now on
  // run in the database, with its duration and parameters.
  void LogDurations();
  // Rows in Logs; -1 while the table does not exist.
  long long LogsRows();
  // Adds the database's sessions (other than the watcher's) to `a`.
  void Sample(Activity& a);
  Statements StatementTotals();
  // The `n` statements that took the server longest, or that ran most
  // often, a line each (calls, rows, milliseconds, text).
  std::string TopStatements(int n, bool by_calls = false);

 private:
  const testkit::PgServer& server_;
  std::string database_;
  pg_conn* db_ = nullptr;      // on the database
  pg_conn* admin_ = nullptr;   // on "postgres"
  std::string own_pid_;
};

// The server's log from byte `from` on; its size now.
std::string ServerLog(const testkit::PgServer& server, uint64_t from = 0);
uint64_t ServerLogSize(const testkit::PgServer& server);
// The ERROR lines of a server log with their DETAIL and STATEMENT lines,
// at most `max` lines.
std::string ErrorLines(const std::string& log, int max);
// How often `what` occurs in `text`.
long long Occurrences(const std::string& text, const std::string& what);

}  // namespace benchkit
