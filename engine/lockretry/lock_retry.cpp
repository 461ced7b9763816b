#include "lock_retry.h"

#include "ado.h"
#include "msgbox.h"

namespace lockretry {
namespace {
const char kCrLf[] = "\r\n";
constexpr int kLockAttempts = 10;
constexpr int kOtherAttempts = 2;
}  // namespace

FailureClass ClassifyFailure(int32_t number, const std::string& description) {
  if (number == kErrUnspecified || number == kErrErrorsOccurred) {
    if (description.find("locked") != std::string::npos) return FailureClass::Lock;
    if (description.find("duplicate") != std::string::npos) return FailureClass::Duplicate;
  }
  return FailureClass::Other;
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

Decision LockRetryPolicy::OnFailure(int32_t number, const std::string& description) {
  ++counter_;
  int answer;
  switch (ClassifyFailure(number, description)) {
    case FailureClass::Lock:
      if (counter_ < kLockAttempts) return Decision::Retry;
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
  enum { kBegin, kExecute, kCommit } step = kBegin;
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
      connection.CommitTrans();
      return 0;
    } catch (const ado::Error& e) {
      switch (policy.OnFailure(e.Number(), e.Description())) {
        case Decision::Retry:
          continue;
        case Decision::Duplicate:
          if (connection.InTransaction()) connection.RollbackTrans();
          return 1;
        case Decision::Ignore:
          if (connection.InTransaction()) connection.RollbackTrans();
          return 2;
        case Decision::Stop:
          return 3;
      }
    }
  }
}

}  // namespace lockretry
