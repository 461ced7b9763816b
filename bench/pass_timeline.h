// Where a pass's time goes, read from a PostgreSQL server log written with
// log_min_duration_statement = 0 (every statement with its duration, its
// parameters on the DETAIL line after it): for each transaction of a
// session (BEGIN to COMMIT) that asked for the advisory lock numbering Logs,
// when it asked after BEGIN, how long it waited, and how long it held the
// lock until its COMMIT ended. Pure function of the log text.
#pragma once

#include <string>

namespace benchkit {

// Means over the passes found, in milliseconds (the log's times have
// millisecond steps; a mean over many passes is finer).
struct PassTimes {
  long long passes = 0;
  double until_lock_ms = 0;    // BEGIN to asking for the lock on Logs
  double lock_wait_ms = 0;     // asking to having it
  double lock_held_ms = 0;     // having it to the end of COMMIT
  double transaction_ms = 0;   // BEGIN to the end of COMMIT
  double lock_statement = 0;   // the lock's place among the statements (1 = the first after BEGIN)
  double statements = 0;       // statements after BEGIN, COMMIT included
};

PassTimes PassTimeline(const std::string& server_log);

}  // namespace benchkit
