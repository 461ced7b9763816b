// Kill points: places in a pass where the process can be made to end at
// once (SIGKILL to itself), so that a test can stop a program at a moment of
// its work that it chose, rather than at a moment in time.
//
// TALLY_KILL_AT names one point and a count, POINT:N (N from 1), read once
// per process:
//   statement:N  right after the Nth statement run by ExecuteDbCommand
//   commit:N     right before the Nth commit of a pass's transaction (a
//                commit retried after a lock counts again)
//   committed:N  right after the Nth commit of a pass's transaction returned,
//                before anything else happens
// Each point is counted per process, over all threads. Unset, a point costs
// one check of a cached value; a value not of this form is reported once on
// standard error and sets no point.
#pragma once

namespace ado {
class Connection;
}

namespace tallycore {

enum class KillPoint { kStatement, kCommit, kCommitted };

// Ends the process when this is the Nth time `point` is reached and
// TALLY_KILL_AT names it with N.
void ReachKillPoint(KillPoint point);

// Commits the innermost transaction level of `c` between the commit and the
// committed points.
void CommitAtKillPoints(ado::Connection& c);

}  // namespace tallycore
