#include "lock_retry.h"

#include "ado.h"
#include "msgbox.h"

namespace lockretry {
namespace {
const char kCrLf[] = "\r\n";
constexpr int kLockAttempts = 10;
constexpr int kOtherAttempts = 2;
}  // namespace

FailureClass ClassifyFailure(const ado::Error& error) {
  switch (error.Kind()) {
    case ado::ErrorKind::Locked:
      return FailureClass::Lock;
    case ado::ErrorKind::Duplicate:
      return FailureClass::Duplicate;
    default:
      return FailureClass::Other;
  }
}

int ShowLockedPrompt(int32_t number, const std::string& description) {
  std::string text = std::string("Database is temporarily locked by another process.") + kCrLf +
                     "I can keep trying for a few more seconds." + kCrLf +
                     "Click Yes to continue trying," + kCrLf + "Click No to ignore error# " +
                     std::to_string(number) + ": " + description + kCrLf +
                     "Click Cancel to stop processing the current log.";
  return msgbox::MsgBox(text, msgbox::vbYesNoCancel, "Record is Locked", msgbox::Kind::LockPrompt);
}

int ShowErrorPrompt(int32_t number, const std::string& description) {
  std::string text =
      std::string("An error occured...please make a note of the following information: ") +
      kCrLf + "Error # " + std::to_string(number) + kCrLf + description + kCrLf +
      "I can keep trying for a couple more seconds." + kCrLf + "Click Yes to continue trying," +
      kCrLf + "Click No to ignore the error." + kCrLf +
      "Click Cancel to stop processing the current log.";
  return msgbox::MsgBox(text, msgbox::vbYesNoCancel, "Record is Locked");
}

Decision LockRetryPolicy::OnFailure(const ado::Error& error) {
  const int32_t number = error.Number();
  const std::string& description = error.Description();
  ++counter_;
  int answer;
  switch (ClassifyFailure(error)) {
    case FailureClass::Lock:
      // While the program ends no lock is waited out: the prompt comes at
      // once (the headless policy answers it No, and the work waits for
      // the next start).
      if (counter_ < kLockAttempts && !msgbox::StopRequested()) return Decision::Retry;
      answer = ShowLockedPrompt(number, description);
      break;
    case FailureClass::Duplicate:
      if (counter_ < kOtherAttempts) return Decision::Retry;
      return Decision::Duplicate;
    default:
      if (counter_ < kOtherAttempts) return Decision::Retry;
      answer = ShowErrorPrompt(number, description);
      break;
  }
  if (answer == msgbox::vbYes) {
    counter_ = 0;
    return Decision::Retry;
  }
  if (answer == msgbox::vbNo) {
    counter_ = 0;
    return Decision::Ignore;
  }
  return Decision::Stop;
}

int ExecuteInOwnTransaction(ado::Connection& connection, const std::string& statement) {
  LockRetryPolicy policy;
  msgbox::WaitScope wait;
  // Inside an enclosing transaction (a processing pass) the statement's own
  // level is a savepoint: undoing it leaves the enclosing work alone.
  const int base = connection.TransactionLevel();
  // A database that undoes a failed statement by itself needs no savepoint
  // for it: the statement runs at the enclosing level, and what the
  // savepoint's rollback would undo is already undone when it fails.
  const bool own_level = base == 0 || !connection.FailedStatementsUndone();
  enum { kBegin, kExecute, kCommit } step = own_level ? kBegin : kExecute;
  while (true) {
    try {
      if (step == kBegin) {
        connection.BeginTrans();
        step = kExecute;
      }
      if (step == kExecute) {
        connection.Execute(statement, ado::kCmdText);
        step = kCommit;
      }
      if (own_level) connection.CommitTrans();
      return 0;
    } catch (const ado::Error& e) {
      if (base > 0) {
        // The enclosing work is at stake: a database that fails as a whole,
        // or an enclosing transaction that the database ended, ends it.
        if (e.Unavailable() || connection.TransactionLevel() < base)
          throw ado::Error(e.Number(), e.Description(), true);
        // Some databases refuse every further statement of a level after a
        // failure: go back to the savepoint and start the statement anew.
        // (Only sessions that leave the undoing to their caller take a
        // savepoint here; both providers undo a failed statement themselves.)
        if (step != kBegin && connection.TransactionLevel() > base) {
          connection.RollbackTrans();
          step = kBegin;
        }
      }
      switch (policy.OnFailure(e)) {
        case Decision::Retry:
          continue;
        case Decision::Duplicate:
          if (connection.TransactionLevel() > base) connection.RollbackTrans();
          return 1;
        case Decision::Ignore:
          if (connection.TransactionLevel() > base) connection.RollbackTrans();
          return 2;
        case Decision::Stop:
          return 3;
      }
    }
  }
}

}  // namespace lockretry
