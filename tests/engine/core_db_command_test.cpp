// ExecuteDbCommand, the lock-retry policy and the packet archive against
// real lock conflicts and a concurrent writer.
#include <chrono>
#include <thread>

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
    auto& s = State();
    s.EngineConnection = std::make_shared<ado::Connection>();
    s.EngineConnection->Open(ConnectionString());
  }
  void TearDown() override {
    State().EngineRecordset.reset();
    State().EngineConnection.reset();
    EngineTest::TearDown();
  }
  int32_t Run(const std::string& text) {
    State().CommandText = text;
    return tallycore::ExecuteDbCommand();
  }
};

using DbCommandTest = OnEachBackend<DbCommandBase>;
INSTANTIATE_ON_EACH_BACKEND(DbCommandTest);

const char kInsertType[] = "Insert into Types values ( 1, 'Frag', #2026-01-02 03:04:05#)";

TEST_P(DbCommandTest, CommitsAndGivesZeroADuplicateKeyRetriesOnceAndGivesOneWithoutPrompt) {
  EXPECT_EQ(Run(kInsertType), 0);
  EXPECT_EQ(State().CommandResult, 0);
  EXPECT_FALSE(State().EngineConnection->InTransaction());
  EXPECT_EQ(Table("select Record, Type, Date_Time from Types"), std::vector<std::string>{"1|Frag|2026-01-02 03:04:05"});
  EXPECT_EQ(Run("Insert into Types values ( 1, 'Other', #2026-01-02#)"), 1);
  EXPECT_TRUE(boxes_->shown().empty());
  EXPECT_FALSE(State().EngineConnection->InTransaction());
  EXPECT_EQ(Count("Types"), 1);
}

TEST_P(DbCommandTest, LockThatClearsWithinTheRetriesGivesZeroWithoutPrompt) {
  auto lock = LockDatabase();
  std::thread releaser([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    lock->Release();
  });
  EXPECT_EQ(Run(kInsertType), 0);
  releaser.join();
  EXPECT_TRUE(boxes_->shown().empty());
  EXPECT_EQ(Count("Types"), 1);
}

TEST_P(DbCommandTest, LastingLockPromptsAfterTenAttemptsYesRetriesNoRollsBack) {
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
  EXPECT_EQ(text.rfind("Database is temporarily locked by another process.\r\n"
                       "I can keep trying for a few more seconds.\r\n"
                       "Click Yes to continue trying,\r\n"
                       "Click No to ignore error# -2147467259: ",
                       0),
            0u)
      << text;
  EXPECT_NE(text.find("locked"), std::string::npos);
  const std::string tail = "\r\nClick Cancel to stop processing the current log.";
  EXPECT_EQ(text.substr(text.size() - tail.size()), tail);
  EXPECT_FALSE(State().EngineConnection->InTransaction());
  lock->Release();
  EXPECT_EQ(Count("Types"), 0);
}

TEST_P(DbCommandTest, CancelGivesThreeAndLeavesOnlyARejectedStatementsTransactionToTheCaller) {
  auto lock = LockDatabase();
  boxes_->Push(msgbox::vbCancel);
  EXPECT_EQ(Run(kInsertType), 3);
  EXPECT_EQ(boxes_->shown().size(), 1u);
  // SQLite takes the write lock when the transaction begins, so a lock
  // conflict leaves no transaction behind; PostgreSQL meets it at the
  // statement, inside the transaction.
  EXPECT_EQ(State().EngineConnection->InTransaction(), OnPostgres());
  if (OnPostgres()) State().EngineConnection->RollbackTrans();
  lock.reset();
  boxes_->Push(msgbox::vbCancel);
  EXPECT_EQ(Run("Insert into Nowhere values ( 1)"), 3);
  EXPECT_TRUE(State().EngineConnection->InTransaction());
}

TEST_P(DbCommandTest, RejectedStatementPromptsWithTheGeneralErrorText) {
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
            std::string::npos);  // No rolls the statement's transaction back.
  EXPECT_FALSE(State().EngineConnection->InTransaction());
  EXPECT_NO_THROW(LockDatabase());
}

TEST_P(DbCommandTest, ProviderTypeScanFindsTheBackendsNamesAndLiteralCharacters) {
  tallycore::ScanProviderTypes();
  std::string slots;
  for (int i = tallycore::kSlotInteger; i <= tallycore::kSlotLongBinary; ++i) {
    const auto& row = State().ProviderTypeTable[i];
    slots += row.TypeName + " " + row.LiteralPrefix + row.LiteralSuffix + ";";
  }
  EXPECT_EQ(slots, OnPostgres() ? "integer ;real ;timestamp '';varchar '';bytea '\\x';"
                                : "INTEGER ;REAL ;DATETIME ##;VARCHAR '';BLOB X'';");
}

class ArchiveBase : public DbCommandBase {
 protected:
  void Archive() {   // on a connection opened now, so that a scoped fault plan reaches it
    tallycore::ForgetPassCaches();   // nothing remembered of an earlier test's database
    auto& s = State();
    s.EngineConnection = std::make_shared<ado::Connection>();
    s.EngineConnection->Open(ConnectionString());
    s.UDPData = {0x00, 0xFF, 0x41};
    s.ConnectedIPAddress = "10.1.2.3";
    s.ConnectedPortAddress = 27910;
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
  auto log = plan->Log();
  // Record 1 twice (one retry), then 2 once (every further duplicate moves
  // on at once), then 3.
  EXPECT_EQ(std::count(log.begin(), log.end(), "Insert: Logs"), 4);
  auto rows = Rows("select Record, Log_IP, Log_Port, Log_Data from Logs where Record=3");
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0][1], "10.1.2.3");
  EXPECT_EQ(rows[0][3], std::string("\x00\xFF\x41", 3));
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

TEST(LockRetryPolicyTest, ClassifiesByNumberAndExactWordsAndADuplicateAfterALockEndsAtOnce) {
  using lockretry::ClassifyFailure;
  using lockretry::FailureClass;
  EXPECT_EQ(ClassifyFailure(-2147467259, "database is locked"), FailureClass::Lock);
  EXPECT_EQ(ClassifyFailure(-2147217887, "table is locked"), FailureClass::Lock);
  EXPECT_EQ(ClassifyFailure(-2147467259, "Record is Locked"), FailureClass::Other);
  EXPECT_EQ(ClassifyFailure(-2147467259, "duplicate values"), FailureClass::Duplicate);
  EXPECT_EQ(ClassifyFailure(-2147467259, "duplicate and locked"), FailureClass::Lock);
  EXPECT_EQ(ClassifyFailure(-1, "database is locked"), FailureClass::Other);
  lockretry::LockRetryPolicy policy;   // a lock, then a duplicate: the duplicate outcome at once
  EXPECT_EQ(policy.OnFailure(-2147467259, "locked"), lockretry::Decision::Retry);
  EXPECT_EQ(policy.OnFailure(-2147467259, "duplicate"), lockretry::Decision::Duplicate);
}

TEST(LockRetryPolicyTest, NineSilentRetriesForALockOneForAnythingElseAndYesCountsAfresh) {
  using lockretry::Decision;
  auto boxes = std::make_shared<msgbox::ScriptedMessageBoxes>();
  auto previous = msgbox::Install(boxes);
  lockretry::LockRetryPolicy policy;
  const int32_t kLock = -2147467259;
  for (int round = 0; round < 2; ++round) {   // Yes starts the count again
    for (int attempt = 1; attempt <= 9; ++attempt)
      ASSERT_EQ(policy.OnFailure(kLock, "database is locked"), Decision::Retry) << attempt;
    EXPECT_EQ(boxes->shown().size(), static_cast<size_t>(round));
    boxes->Push(msgbox::vbYes);
    EXPECT_EQ(policy.OnFailure(kLock, "database is locked"), Decision::Retry);   // the 10th: asked
    EXPECT_EQ(boxes->shown().size(), static_cast<size_t>(round + 1));
    EXPECT_EQ(policy.counter(), 0);
  }
  boxes->Clear();
  lockretry::LockRetryPolicy other;
  EXPECT_EQ(other.OnFailure(-1, "no such table"), Decision::Retry);
  EXPECT_TRUE(boxes->shown().empty());
  boxes->Push(msgbox::vbNo);
  EXPECT_EQ(other.OnFailure(-1, "no such table"), Decision::Ignore);
  ASSERT_EQ(boxes->shown().size(), 1u);
  EXPECT_EQ(boxes->shown()[0].text.rfind("An error occured", 0), 0u);
  lockretry::LockRetryPolicy duplicate;
  EXPECT_EQ(duplicate.OnFailure(kLock, "duplicate key"), Decision::Retry);
  EXPECT_EQ(duplicate.OnFailure(kLock, "duplicate key"), Decision::Duplicate);
  EXPECT_EQ(boxes->shown().size(), 1u);
  msgbox::Install(previous);
}

}  // namespace
}  // namespace enginetest
