// ExecuteDbCommand, the lock-retry policy and the packet archive against
// real lock conflicts and a concurrent writer.
#include <functional>

#include "engine_fixture.h"
#include "fault_injection.h"
#include "lock_retry.h"
#include "score_module.h"

namespace enginetest {
namespace {

using tallycore::State;

class DbCommandBase : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    Connect();
  }
  void TearDown() override {
    State().EngineRecordset.reset();
    State().EngineConnection.reset();
    EngineTest::TearDown();
  }
  void Connect() {
    State().EngineConnection = std::make_shared<ado::Connection>();
    State().EngineConnection->Open(ConnectionString());
  }
  int32_t Run(const std::string& text) {
    State().CommandText = text;
    return tallycore::ExecuteDbCommand();
  }
  bool InTransaction() { return State().EngineConnection->InTransaction(); }
};

using DbCommandTest = OnEachBackend<DbCommandBase>;
INSTANTIATE_ON_EACH_BACKEND(DbCommandTest);

const char kInsertType[] = "Insert into Types values ( 1, 'Frag', #2026-01-02 03:04:05#)";

// A duplicate is retried once and gives 1 unasked; another failure prompts
// with the general text, and No rolls the statement's transaction back.
TEST_P(DbCommandTest, CommitsGivesOneForADuplicateAndPromptsForARejectedStatement) {
  EXPECT_EQ(Run(kInsertType), 0);
  EXPECT_FALSE(InTransaction());
  EXPECT_EQ(Table("select Record, Type, Date_Time from Types"), Lines{"1|Frag|2026-01-02 03:04:05"});
  EXPECT_EQ(Run("Insert into Types values ( 1, 'Other', #2026-01-02#)"), 1);
  EXPECT_TRUE(boxes_->shown().empty());
  EXPECT_FALSE(InTransaction());
  EXPECT_EQ(Count("Types"), 1);

  boxes_->Push(msgbox::vbNo);
  EXPECT_EQ(Run("Insert into Nowhere values ( 1)"), 2);
  auto shown = boxes_->shown();
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0].title, "Record is Locked");
  EXPECT_EQ(shown[0].kind, msgbox::Kind::Message);
  const std::string& t = shown[0].text;
  EXPECT_EQ(t.rfind("An error occured...please make a note of the following information: \r\nError # ", 0), 0u) << t;
  EXPECT_NE(t.find("\r\nI can keep trying for a couple more seconds.\r\nClick Yes to continue trying,\r\n"
                   "Click No to ignore the error.\r\nClick Cancel to stop processing the current log."),
            std::string::npos);
  EXPECT_FALSE(InTransaction());
  EXPECT_NO_THROW(LockDatabase());
}

// A lasting lock prompts after ten attempts: Yes retries, No gives 2, Cancel
// 3. SQLite takes the write lock at BEGIN, so a lock conflict leaves no
// transaction behind; PostgreSQL meets it at the statement, inside one.
TEST_P(DbCommandTest, LastingLockPromptsAfterTenAttemptsAndCancelLeavesOnlyARejectedStatementsTransaction) {
  auto lock = LockDatabase();
  boxes_->Push(msgbox::vbYes);
  boxes_->Push(msgbox::vbNo);
  EXPECT_EQ(Run(kInsertType), 2);
  auto shown = boxes_->shown();
  ASSERT_EQ(shown.size(), 2u);
  EXPECT_EQ(shown[0].title, "Record is Locked");
  EXPECT_EQ(shown[0].buttons, msgbox::vbYesNoCancel);
  EXPECT_EQ(shown[0].kind, msgbox::Kind::LockPrompt);
  const std::string& text = shown[0].text;
  const std::string head = "Database is temporarily locked by another process.\r\nI can keep trying for a few "
                           "more seconds.\r\nClick Yes to continue trying,\r\nClick No to ignore error# -2147467259: ";
  EXPECT_EQ(text.rfind(head, 0), 0u) << text;
  EXPECT_NE(text.find("locked", head.size()), std::string::npos);
  const std::string tail = "\r\nClick Cancel to stop processing the current log.";
  EXPECT_EQ(text.substr(text.size() - tail.size()), tail);
  EXPECT_FALSE(InTransaction());

  boxes_->Push(msgbox::vbCancel);
  EXPECT_EQ(Run(kInsertType), 3);
  EXPECT_EQ(boxes_->shown().size(), 3u);
  EXPECT_EQ(InTransaction(), OnPostgres());
  if (OnPostgres()) State().EngineConnection->RollbackTrans();
  lock.reset();
  EXPECT_EQ(Count("Types"), 0);
  boxes_->Push(msgbox::vbCancel);
  EXPECT_EQ(Run("Insert into Nowhere values ( 1)"), 3);
  EXPECT_TRUE(InTransaction());
}

class ArchiveBase : public DbCommandBase {
 protected:
  // On a connection opened now, so that a scoped fault plan reaches it.
  void Archive() {
    tallycore::ForgetPassCaches();   // nothing remembered of an earlier test's database
    Connect();
    State().UDPData = {0x00, 0xFF, 0x41};
    State().ConnectedIPAddress = "10.1.2.3";
    State().ConnectedPortAddress = 27910;
    tallycore::ArchivePacket();
  }
};

using ArchiveTest = OnEachBackend<ArchiveBase>;
INSTANTIATE_ON_EACH_BACKEND(ArchiveTest);

TEST_P(ArchiveTest, NumbersTakenByAConcurrentWriterAreSkipped) {
  auto plan = std::make_shared<ado::fault::FaultPlan>();
  bool taken = false;
  plan->BeforeEach([&](ado::fault::Op op, const std::string& text) {
    if (op == ado::fault::kInsert && text == "Logs" && !taken) {
      taken = true;   // another program stores two datagrams first
      Exec("insert into Logs(Record) values (1); insert into Logs(Record) values (2);");
    }
  });
  ado::fault::ScopedInjection scope(plan);
  Archive();
  EXPECT_EQ(State().LogRecord, 3);
  EXPECT_TRUE(boxes_->shown().empty());
  // Record 1 twice (one retry), then 2 once (a further duplicate moves on at once), then 3.
  auto log = plan->Log();
  EXPECT_EQ(std::count(log.begin(), log.end(), "Insert: Logs"), 4);
  EXPECT_EQ(Table("select Log_IP, Log_Data from Logs where Record=3"),
            Lines{"10.1.2.3|" + std::string("\0\xFF\x41", 3)});
}

TEST_P(ArchiveTest, LockDuringTheRecordQueryIsRetriedWithinThePolicy) {
  auto plan = std::make_shared<ado::fault::FaultPlan>();
  plan->Fail({ado::fault::kExecute, "Select Record From Logs", 1, 3, ado::fault::LockConflict()});
  ado::fault::ScopedInjection scope(plan);
  Archive();
  EXPECT_EQ(State().LogRecord, 1);
  EXPECT_EQ(plan->Injected(), 3);
  EXPECT_TRUE(boxes_->shown().empty());
}

TEST_P(ArchiveTest, AKeyThatStaysDuplicateEndsThePassInsteadOfLoopingOn) {
  // Someone gave Logs a unique index of their own.
  Exec("create unique index Own_Logs_IP on Logs(Log_IP); insert into Logs(Record, Log_IP) values (5, '10.1.2.3');");
  EXPECT_THROW(Archive(), tallycore::PassFailure);
  EXPECT_EQ(Count("Logs"), 1);
}

// SQLite's own codes give the kinds, not the words of a message: a write
// lock held by another connection, a unique key repeated, a statement that
// names a table "locked" or a value "duplicate".
TEST(LockRetryPolicyTest, SqliteResultCodesGiveTheKinds) {
  testkit::TempDir dir;
  const std::string path = dir.File("kinds.db");
  testkit::Touch(path);
  const std::string cs = "Provider=SQLite;Data Source=" + path + ";Busy Timeout=0";
  ado::Connection c, other;
  c.Open(cs);
  other.Open(cs);
  c.Execute("Create Table locked (Record INTEGER Constraint CU1 Unique, Name VARCHAR (50))");
  c.Execute("Insert into locked values ( 1, 'duplicate')");
  auto kind_of = [](const std::function<void()>& f) {
    try {
      f();
    } catch (const ado::Error& e) {
      return e.Kind();
    }
    return ado::ErrorKind::Other;   // no failure: reported by the expectations below
  };
  EXPECT_EQ(kind_of([&] { c.Execute("Insert into locked values ( 1, 'x')"); }), ado::ErrorKind::Duplicate);
  EXPECT_EQ(kind_of([&] { c.Execute("Select Nothing From locked"); }), ado::ErrorKind::Other);
  EXPECT_EQ(kind_of([&] { c.Execute("Select * From duplicate"); }), ado::ErrorKind::Other);
  c.BeginTrans();
  c.Execute("Insert into locked values ( 2, 'y')");
  EXPECT_EQ(kind_of([&] { other.Execute("Insert into locked values ( 3, 'z')"); }), ado::ErrorKind::Locked);
  c.RollbackTrans();
}

TEST(LockRetryPolicyTest, NineSilentRetriesForALockOneForAnythingElseAndYesCountsAfresh) {
  using lockretry::Decision;
  auto boxes = std::make_shared<testkit::ScriptedMessageBoxes>();
  auto previous = msgbox::Install(boxes);
  lockretry::LockRetryPolicy policy;
  const ado::Error kLock(-2147467259, "database is locked", false, ado::ErrorKind::Locked);
  for (int round = 0; round < 2; ++round) {   // Yes starts the count again
    for (int attempt = 1; attempt <= 9; ++attempt)
      ASSERT_EQ(policy.OnFailure(kLock), Decision::Retry) << attempt;
    EXPECT_EQ(boxes->shown().size(), static_cast<size_t>(round));
    boxes->Push(msgbox::vbYes);
    EXPECT_EQ(policy.OnFailure(kLock), Decision::Retry);   // the 10th: asked
    EXPECT_EQ(boxes->shown().size(), static_cast<size_t>(round + 1));
    EXPECT_EQ(policy.counter(), 0);
  }
  boxes->Clear();
  lockretry::LockRetryPolicy other;
  EXPECT_EQ(other.OnFailure(ado::Error(-1, "no such table")), Decision::Retry);
  EXPECT_TRUE(boxes->shown().empty());
  boxes->Push(msgbox::vbNo);
  EXPECT_EQ(other.OnFailure(ado::Error(-1, "no such table")), Decision::Ignore);
  ASSERT_EQ(boxes->shown().size(), 1u);
  EXPECT_EQ(boxes->shown()[0].text.rfind("An error occured", 0), 0u);
  lockretry::LockRetryPolicy duplicate;   // after a lock, a duplicate ends the statement at once
  EXPECT_EQ(duplicate.OnFailure(kLock), Decision::Retry);
  EXPECT_EQ(duplicate.OnFailure(ado::Error(-1, "x", false, ado::ErrorKind::Duplicate)), Decision::Duplicate);
  EXPECT_EQ(boxes->shown().size(), 1u);
  // A failure of the whole database is no lock, whatever it was before.
  EXPECT_EQ(lockretry::ClassifyFailure(ado::Error(-1, "locked", true, ado::ErrorKind::Locked)),
            lockretry::FailureClass::Other);
  msgbox::Install(previous);
}

}  // namespace
}  // namespace enginetest
