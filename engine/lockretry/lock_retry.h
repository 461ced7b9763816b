// The lock-retry policy shared by every place that writes to a database:
// the engine's ExecuteDbCommand, its packet archive, and the listener's
// schema creation.
//
// Each failure is classified by its kind (lock conflict, duplicate key,
// other), which the database layer sets from the backend's own result codes,
// counted, and either retried at once or put to the user with the "Record
// is Locked" prompts, which show its number and description. A LockRetryPolicy object is one
// use of the policy (one statement, or the archive of one pass); it holds the
// retry counter. Not thread-safe; one object per use.
#pragma once

#include <cstdint>
#include <string>

namespace ado {
class Connection;
class Error;
}

namespace lockretry {

constexpr int32_t kErrUnspecified = -2147467259;    // 0x80004005
constexpr int32_t kErrErrorsOccurred = -2147217887; // 0x80040E21

enum class FailureClass { Lock, Duplicate, Other };
FailureClass ClassifyFailure(const ado::Error& error);

// The two prompts; they return the message box answer (vbYes, vbNo, vbCancel).
int ShowLockedPrompt(int32_t number, const std::string& description);
int ShowErrorPrompt(int32_t number, const std::string& description);

enum class Decision {
  Retry,       // run the failed step again
  Duplicate,   // take the place's duplicate outcome (counter not reset)
  Ignore,      // the user chose No (counter reset)
  Stop,        // the user chose Cancel
};

class LockRetryPolicy {
 public:
  // Counts the failure and decides, showing a prompt when the retries of its
  // class are used up.
  Decision OnFailure(const ado::Error& error);
  int counter() const { return counter_; }
  void Reset() { counter_ = 0; }

 private:
  int counter_ = 0;
};

// Runs one statement in a transaction of its own (begin, execute as text,
// commit) under the policy. Outside a transaction a retry runs the failed
// step again inside the same transaction. Inside an enclosing transaction
// the statement's level is a savepoint (none where the database undoes a
// failed statement by itself, ado::Connection::FailedStatementsUndone): a
// retry starts again from the savepoint, and a failure of the database as a whole (ado::Error
// Unavailable, or the enclosing transaction gone) is thrown with
// Unavailable set, for the enclosing work to be undone. Returns 0 done,
// 1 duplicate key (rolled back), 2 ignored (rolled back), 3 stop: the user
// chose Cancel, and the statement's level is left open for the caller.
// Failures of the rollback itself are thrown.
int ExecuteInOwnTransaction(ado::Connection& connection, const std::string& statement);

}  // namespace lockretry
