#include "fault_injection.h"

#include <bit>

#include "backend.h"

namespace ado::fault {
namespace {

const char* OpName(Op op) {
  static const char* const kNames[] = {"Execute", "Begin", "Commit", "Rollback", "OpenSchema", "Columns", "Insert"};
  const int bit = std::countr_zero(static_cast<unsigned>(op));
  return bit < 7 ? kNames[bit] : "?";
}

class FaultySession : public detail::Session {
 public:
  FaultySession(std::shared_ptr<detail::Session> inner, std::shared_ptr<FaultPlan> plan)
      : inner_(std::move(inner)), plan_(std::move(plan)) {}

  std::unique_ptr<detail::Cursor> Execute(const std::string& statement) override {
    plan_->Check(kExecute, statement);
    return inner_->Execute(statement);
  }
  void Begin() override {
    plan_->Check(kBegin, "");
    inner_->Begin();
  }
  void Commit() override {
    plan_->Check(kCommit, "");
    inner_->Commit();
  }
  void Rollback() override {
    plan_->Check(kRollback, "");
    inner_->Rollback();
  }
  bool InTransaction() const override { return inner_->InTransaction(); }
  int TransactionDepth() const override { return inner_->TransactionDepth(); }
  uint64_t ChangeStamp() override { return inner_->ChangeStamp(); }
  void WatchRows(std::vector<RowWatch> tables) override { inner_->WatchRows(std::move(tables)); }
  uint64_t KeptRowsStamp() override { return inner_->KeptRowsStamp(); }
  detail::Rows ProviderTypes() override {
    plan_->Check(kSchema, "22");
    return inner_->ProviderTypes();
  }
  detail::Rows Tables() override {
    plan_->Check(kSchema, "20");
    return inner_->Tables();
  }
  std::vector<jet::Column> Columns(const std::string& table) override {
    plan_->Check(kColumns, table);
    return inner_->Columns(table);
  }
  void Insert(const std::string& table, const std::vector<std::string>& columns,
              const std::vector<Value>& values) override {
    plan_->Check(kInsert, table);
    inner_->Insert(table, columns, values);
  }
  void Close() override { inner_->Close(); }
  bool IsOpen() const override { return inner_->IsOpen(); }
  detail::SessionStats Stats() const override { return inner_->Stats(); }

 private:
  std::shared_ptr<detail::Session> inner_;
  std::shared_ptr<FaultPlan> plan_;
};

}  // namespace

Error LockConflict() {
  return Error(kErrProvider,
               "Could not update; currently locked by another session on this machine. (database is locked)", false,
               ErrorKind::Locked);
}


void FaultPlan::Fail(Rule rule) {
  std::lock_guard<std::mutex> lock(mutex_);
  rules_.push_back({std::move(rule), 0});
}

void FaultPlan::Clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  rules_.clear();
  log_.clear();
  injected_ = 0;
}

std::vector<std::string> FaultPlan::Log() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return log_;
}

int FaultPlan::Injected() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return injected_;
}

void FaultPlan::BeforeEach(std::function<void(Op, const std::string&)> hook) {
  std::lock_guard<std::mutex> lock(mutex_);
  hook_ = std::move(hook);
}

void FaultPlan::Check(Op op, const std::string& text) {
  std::function<void(Op, const std::string&)> hook;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    hook = hook_;
  }
  if (hook) hook(op, text);
  std::lock_guard<std::mutex> lock(mutex_);
  log_.push_back(text.empty() ? std::string(OpName(op)) : std::string(OpName(op)) + ": " + text);
  const Error* hit = nullptr;
  for (Entry& e : rules_) {
    if (!(e.rule.ops & op)) continue;
    if (!e.rule.statement_contains.empty() && text.find(e.rule.statement_contains) == std::string::npos) continue;
    ++e.seen;
    const bool picked = e.seen >= e.rule.nth && (e.rule.times < 0 || e.seen < e.rule.nth + e.rule.times);
    if (picked && !hit) hit = &e.rule.error;
  }
  if (hit) {
    ++injected_;
    throw *hit;
  }
}

ScopedInjection::ScopedInjection(std::shared_ptr<FaultPlan> plan) {
  detail::SetSessionDecorator([plan](std::shared_ptr<detail::Session> s) -> std::shared_ptr<detail::Session> {
    return std::make_shared<FaultySession>(std::move(s), plan);
  });
}

ScopedInjection::~ScopedInjection() { detail::SetSessionDecorator(nullptr); }

}  // namespace ado::fault
