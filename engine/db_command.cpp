// ExecuteDbCommand: one statement in a transaction of its own, with the
// lock-retry policy.
#include "kill_points.h"
#include "lock_retry.h"
#include "score_module.h"

namespace tallycore {

int32_t ExecuteDbCommand() {
  auto& s = State();
  s.CommandResult = lockretry::ExecuteInOwnTransaction(*s.EngineConnection, s.CommandText);
  ReachKillPoint(KillPoint::kStatement);
  if (s.CommandResult == 2) s.LastPass.ignored.push_back(s.CommandText);
  return s.CommandResult;
}

int32_t RunCommand(const std::string& command_text) {
  State().CommandText = command_text;
  int32_t result = ExecuteDbCommand();
  if (result == 3) throw PassStop{};
  return result;
}

bool ExecuteOptional(const std::string& statement) {
  ado::Connection& c = *State().EngineConnection;
  const int base = c.TransactionLevel();
  try {
    c.BeginTrans();
    c.Execute(statement, ado::kCmdText);
    c.CommitTrans();
    return true;
  } catch (const ado::Error& e) {
    if (e.Unavailable() || c.TransactionLevel() < base) throw ado::Error(e.Number(), e.Description(), true);
    if (c.TransactionLevel() > base) c.RollbackTrans();
    return false;
  }
}

std::shared_ptr<ado::Recordset>& RunQuery(const std::string& query_text) {
  auto& s = State();
  s.QueryText = query_text;
  s.EngineRecordset = s.EngineConnection->Execute(s.QueryText, ado::kCmdText);
  return s.EngineRecordset;
}

std::shared_ptr<ado::Recordset>& RunFirstRowQuery(const std::string& query_text) {
  auto& s = State();
  s.QueryText = query_text;
  s.EngineRecordset = s.EngineConnection->Execute(s.QueryText, ado::kCmdText | ado::kFirstRowOnly);
  return s.EngineRecordset;
}

}  // namespace tallycore
