// fault_injection: makes chosen database operations fail, for tests.
//
// A FaultPlan counts the operations of the sessions it wraps and fails the
// ones its rules pick, before they reach the database (a failed operation
// has no effect). A rule picks the nth operation (1-based) among those that
// match its operation mask and, optionally, a piece of the statement text,
// and the `times - 1` matching operations after it (times < 0: all after it).
// The plan also keeps a log of the operations it saw ("Execute: <text>",
// "Begin", "Commit", "Rollback", "Insert: <table>", ...).
//
//   auto plan = std::make_shared<ado::fault::FaultPlan>();
//   plan->Fail({.ops = ado::fault::kExecute, .statement_contains = "Insert into Types",
//               .nth = 1, .times = 3, .error = ado::fault::LockConflict()});
//   ado::fault::ScopedInjection scope(plan);     // every connection opened meanwhile
//
// ScopedInjection reaches the connections of this program's copy of the ado
// library (code linked statically into the same program), not those of a
// separately loaded shared library.
//
// Thread safety: a FaultPlan may be shared by connections on several threads.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ado.h"

namespace ado::fault {

enum Op : unsigned {
  kExecute = 1,
  kBegin = 2,
  kCommit = 4,
  kRollback = 8,
  kSchema = 16,    // OpenSchema rowsets
  kColumns = 32,   // Recordset::Open learning a table's columns
  kInsert = 64,    // Recordset::Update
  kAll = 127,
};

// Errors as the SQLite provider reports them.
Error LockConflict();   // kErrProvider, "... locked ..."

struct Rule {
  unsigned ops = kAll;
  std::string statement_contains;   // empty: any statement (and operations without one)
  int nth = 1;
  int times = 1;
  Error error = LockConflict();
};

class FaultPlan {
 public:
  void Fail(Rule rule);
  void Clear();                                   // drops the rules and the log
  // Runs before every operation the plan sees, before any rule; a test can
  // make another connection act at that moment (a concurrent writer, say).
  void BeforeEach(std::function<void(Op op, const std::string& text)> hook);
  std::vector<std::string> Log() const;
  int Injected() const;                           // failures injected so far

  // Called by the wrapping session: throws the rule's error when one picks
  // this operation.
  void Check(Op op, const std::string& text);

 private:
  struct Entry {
    Rule rule;
    int seen = 0;
  };
  mutable std::mutex mutex_;
  std::vector<Entry> rules_;
  std::function<void(Op, const std::string&)> hook_;
  std::vector<std::string> log_;
  int injected_ = 0;
};

// While it lives, every Connection::Open wraps its session with the plan.
class ScopedInjection {
 public:
  explicit ScopedInjection(std::shared_ptr<FaultPlan> plan);
  ~ScopedInjection();
  ScopedInjection(const ScopedInjection&) = delete;
  ScopedInjection& operator=(const ScopedInjection&) = delete;
};

}  // namespace ado::fault
