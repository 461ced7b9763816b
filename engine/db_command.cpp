// ExecuteDbCommand: one statement in a transaction of its own, with the
// lock-retry policy.
#include "lock_retry.h"
#include "msgbox.h"
#include "score_module.h"

namespace tallycore {

int32_t ExecuteDbCommand() {
  auto& s = State();
  ado::Connection& conn = *s.EngineConnection;
  lockretry::LockRetryPolicy policy;
  msgbox::WaitScope wait;
  enum { kBegin, kExecute, kCommit } step = kBegin;
  while (true) {
    try {
      if (step == kBegin) {
        conn.BeginTrans();
        step = kExecute;
      }
      if (step == kExecute) {
        conn.Execute(s.CommandText, ado::kCmdText);
        step = kCommit;
      }
      conn.CommitTrans();
      return s.CommandResult = 0;
    } catch (const ado::Error& e) {
      switch (policy.OnFailure(e.Number(), e.Description())) {
        case lockretry::Decision::Retry:
          continue;
        case lockretry::Decision::Duplicate:
          if (conn.InTransaction()) conn.RollbackTrans();
          return s.CommandResult = 1;
        case lockretry::Decision::Ignore:
          if (conn.InTransaction()) conn.RollbackTrans();
          return s.CommandResult = 2;
        case lockretry::Decision::Stop:
          return s.CommandResult = 3;
      }
    }
  }
}

int32_t RunCommand(const std::string& command_text) {
  State().CommandText = command_text;
  int32_t result = ExecuteDbCommand();
  if (result == 3) throw PassStop{};
  return result;
}

std::shared_ptr<ado::Recordset>& RunQuery(const std::string& query_text) {
  auto& s = State();
  s.QueryText = query_text;
  s.EngineRecordset = s.EngineConnection->Execute(s.QueryText, ado::kCmdText);
  return s.EngineRecordset;
}

}  // namespace tallycore
