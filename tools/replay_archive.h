// replay_archive: rebuilds statistics from a database's archive.
//
// Every Logs row of the source database, in Record order, goes to the
// engine exactly as the listener handed it over (a new Score_Class, the
// row's sender address and port, the datagram bytes), storing into the
// target database; while a row is processed, the clock reads the row's
// archived receipt time (env::ProcessingTimeScope), so the target holds
// what live receipt stored then. The target's tables are created first when
// missing.
//
// Resuming: the target's own archive tells how far an earlier run got. Its
// last Logs row (receipt time, sender, bytes) is found in the source (the
// n-th equal row when n equal rows are in the target) and the replay goes on
// after it; a target whose archive is not a prefix of the source's is
// refused. SIGINT and SIGTERM end the run after the current row.
//
// Progress (done / total, rows per second, time left) goes to standard
// error; each source row that fails is reported by its Record and skipped.
#pragma once

#include <string>

namespace replay {

struct Options {
  std::string from, to;   // connection strings
  std::string log_path;   // the process log; empty: the engine's own
  int listen_port = 28000;
};

// Returns the exit status: 0 when every row completed, 1 when a row failed
// or the run could not start, 130 when interrupted.
int ReplayArchive(const Options& options);

}  // namespace replay
