// PassTimeline on hand-written server logs: what counts as a pass, where the
// lock numbering Logs falls in it, and the means over passes and sessions.
#include "pass_timeline.h"

#include <gtest/gtest.h>

namespace benchkit {
namespace {

std::string Log(const std::string& time, int pid, const std::string& text) {
  return "2026-12-08 00:36:" + time + " UTC [" + std::to_string(pid) + "] " + text + "\n";
}
std::string Execute(const std::string& time, int pid, double ms, const std::string& sql) {
  return Log(time, pid, "LOG:  duration: " + std::to_string(ms) + " ms  execute <unnamed>: " + sql);
}
std::string Simple(const std::string& time, int pid, double ms, const std::string& sql) {
  return Log(time, pid, "LOG:  duration: " + std::to_string(ms) + " ms  statement: " + sql);
}
std::string Lock(const std::string& time, int pid, double ms, const std::string& table) {
  return Execute(time, pid, ms, "SELECT pg_advisory_xact_lock(1952541804, hashtext($1))") +
         Log(time, pid, "DETAIL:  parameters: $1 = '" + table + "'");
}

TEST(PassTimeline, APassFromBeginToCommitAroundTheLockOnLogs) {
  const std::string log = Simple("10.000", 7, 0, "BEGIN") +
                          Execute("10.002", 7, 0, "Select \"Last_Sequence\" From \"Tallyhost_Received\"") +
                          Lock("10.010", 7, 6, "logs") +   // asked at 10.004
                          Log("10.010", 7, "LOG:  duration: 0.1 ms  parse t6: Select 1") +
                          Execute("10.030", 7, 0, "Insert into \"Logs\" values ($1)") +
                          Simple("10.040", 7, 2, "COMMIT");
  const PassTimes t = PassTimeline(log);
  EXPECT_EQ(t.passes, 1);
  EXPECT_NEAR(t.until_lock_ms, 4, 1e-6);
  EXPECT_NEAR(t.lock_wait_ms, 6, 1e-6);
  EXPECT_NEAR(t.lock_held_ms, 30, 1e-6);
  EXPECT_NEAR(t.transaction_ms, 40, 1e-6);
  EXPECT_EQ(t.lock_statement, 2);   // the parse line is no statement
  EXPECT_EQ(t.statements, 4);
}

TEST(PassTimeline, SessionsInterleavedAreKeptApartAndAveraged) {
  const std::string log = Simple("20.000", 1, 0, "BEGIN") + Simple("20.001", 2, 0, "BEGIN") +
                          Lock("20.002", 1, 1, "logs") + Lock("20.021", 2, 19, "logs") +
                          Simple("20.020", 1, 0, "COMMIT") + Simple("20.031", 2, 0, "COMMIT");
  const PassTimes t = PassTimeline(log);
  EXPECT_EQ(t.passes, 2);
  EXPECT_NEAR(t.lock_wait_ms, (1 + 19) / 2.0, 1e-6);
  EXPECT_NEAR(t.lock_held_ms, (18 + 10) / 2.0, 1e-6);
  EXPECT_NEAR(t.transaction_ms, (20 + 30) / 2.0, 1e-6);
}

TEST(PassTimeline, TransactionsWithoutTheLogsLockAreNoPasses) {
  const std::string log = Simple("30.000", 3, 0, "BEGIN") + Lock("30.001", 3, 0, "scores_0000002") +
                          Simple("30.002", 3, 0, "COMMIT") +
                          Lock("30.003", 3, 0, "logs") +   // outside a transaction
                          Log("30.004", 3, "ERROR:  duplicate key value violates unique constraint") +
                          "a line of no session\n";
  EXPECT_EQ(PassTimeline(log).passes, 0);
  EXPECT_EQ(PassTimeline("").passes, 0);
}

}  // namespace
}  // namespace benchkit
