// prune_archive: bounds the archive of a database.
//
// Removes the archived datagrams (Logs rows) received before a given local
// date and time, together with their links to games (Logs_Games rows); the
// games, players, scores and every other table stay as they are. The newest
// Logs row (the largest Record) is always kept: new rows are numbered above
// the largest Record, and tallyfeed --replay-archive resumes after the
// target's last row, so that row must stay.
//
// Everything happens in one transaction that first takes the database's
// write lock without waiting beyond a short bound (SQLite: BEGIN IMMEDIATE
// under a busy timeout of kLockWaitMs; PostgreSQL: LOCK TABLE Logs IN SHARE
// ROW EXCLUSIVE MODE NOWAIT, which a pass that has archived its datagram
// holds off). While a pass is under way the run is refused and nothing is
// removed; a pass that starts meanwhile waits for the commit.
#pragma once

#include <string>

namespace prune {

constexpr int kLockWaitMs = 1000;

struct Options {
  std::string before;              // "YYYY-MM-DD" or "YYYY-MM-DD HH:MM:SS", local time
  std::string connection_string;
  bool dry_run = false;            // count, report, and remove nothing
};

// Reads "YYYY-MM-DD" or "YYYY-MM-DD HH:MM:SS" (a real calendar date, 24-hour
// time) into a day serial; false for anything else.
bool ParseBefore(const std::string& text, double* serial);

// Returns the exit status: 0 done, 1 refused or failed (nothing removed),
// 2 a malformed date. Messages go to standard output (the report) and
// standard error (why not).
int PruneArchive(const Options& options);

}  // namespace prune
