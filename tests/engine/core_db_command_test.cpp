// ExecuteDbCommand and the lock-retry policy against real lock conflicts.
#include <chrono>
#include <thread>

#include "engine_fixture.h"
#include "lock_retry.h"
#include "score_module.h"

namespace enginetest {
namespace {

using tallycore::State;

class DbCommandTest : public EngineTest {
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

const char kInsertType[] = "Insert into Types values ( 1, 'Frag', #2026-01-02 03:04:05#)";

TEST_F(DbCommandTest, CommitsAndReturnsZero) {
  EXPECT_EQ(Run(kInsertType), 0);
  EXPECT_EQ(State().CommandResult, 0);
  EXPECT_FALSE(State().EngineConnection->InTransaction());
  auto rows = Rows("select Record, Type, Date_Time from Types");
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0][1], "Frag");
  EXPECT_EQ(rows[0][2], "2026-01-02 03:04:05");
  EXPECT_TRUE(boxes_->shown().empty());
}

TEST_F(DbCommandTest, LockThatClearsWithinTheRetriesGivesZeroWithoutPrompt) {
  auto lock = std::make_unique<WriteLock>(db_path_);
  std::thread releaser([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    lock->Release();
  });
  EXPECT_EQ(Run(kInsertType), 0);
  releaser.join();
  EXPECT_TRUE(boxes_->shown().empty());
  EXPECT_EQ(Count("Types"), 1);
}

TEST_F(DbCommandTest, LastingLockPromptsAfterTenAttemptsYesRetriesNoRollsBack) {
  WriteLock lock(db_path_);
  boxes_->Push(msgbox::vbYes);
  boxes_->Push(msgbox::vbNo);
  EXPECT_EQ(Run(kInsertType), 2);
  auto shown = boxes_->shown();
  ASSERT_EQ(shown.size(), 2u);
  EXPECT_EQ(shown[0].title, "Record is Locked");
  EXPECT_EQ(shown[0].buttons, msgbox::vbYesNoCancel);
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
  lock.Release();
  EXPECT_EQ(Count("Types"), 0);
}

TEST_F(DbCommandTest, CancelAtALockGivesThreeAndHoldsNoTransaction) {
  WriteLock lock(db_path_);
  boxes_->Push(msgbox::vbCancel);
  EXPECT_EQ(Run(kInsertType), 3);
  EXPECT_EQ(boxes_->shown().size(), 1u);
  // The write lock is taken when the transaction begins, so a lock conflict
  // leaves no transaction behind.
  EXPECT_FALSE(State().EngineConnection->InTransaction());
}

TEST_F(DbCommandTest, CancelAfterARejectedStatementLeavesTheTransactionToTheCaller) {
  boxes_->Push(msgbox::vbCancel);
  EXPECT_EQ(Run("Insert into Nowhere values ( 1)"), 3);
  EXPECT_TRUE(State().EngineConnection->InTransaction());
}

TEST_F(DbCommandTest, DuplicateKeyRetriesOnceThenGivesOneWithoutPrompt) {
  ASSERT_EQ(Run(kInsertType), 0);
  EXPECT_EQ(Run("Insert into Types values ( 1, 'Other', #2026-01-02#)"), 1);
  EXPECT_TRUE(boxes_->shown().empty());
  EXPECT_FALSE(State().EngineConnection->InTransaction());
  EXPECT_EQ(Count("Types"), 1);
}

TEST_F(DbCommandTest, RejectedStatementPromptsWithTheGeneralErrorText) {
  boxes_->Push(msgbox::vbNo);
  EXPECT_EQ(Run("Insert into Nowhere values ( 1)"), 2);
  auto shown = boxes_->shown();
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0].title, "Record is Locked");
  const std::string& t = shown[0].text;
  EXPECT_EQ(t.rfind("An error occured...please make a note of the following information: \r\nError # ", 0), 0u) << t;
  EXPECT_NE(t.find("\r\nI can keep trying for a couple more seconds.\r\nClick Yes to continue trying,\r\n"
                   "Click No to ignore the error.\r\nClick Cancel to stop processing the current log."),
            std::string::npos);
}

TEST(LockRetryPolicyTest, ClassifiesByNumberAndExactWords) {
  using lockretry::ClassifyFailure;
  using lockretry::FailureClass;
  EXPECT_EQ(ClassifyFailure(-2147467259, "database is locked"), FailureClass::Lock);
  EXPECT_EQ(ClassifyFailure(-2147217887, "table is locked"), FailureClass::Lock);
  EXPECT_EQ(ClassifyFailure(-2147467259, "Record is Locked"), FailureClass::Other);
  EXPECT_EQ(ClassifyFailure(-2147467259, "duplicate values"), FailureClass::Duplicate);
  EXPECT_EQ(ClassifyFailure(-2147467259, "duplicate and locked"), FailureClass::Lock);
  EXPECT_EQ(ClassifyFailure(-1, "database is locked"), FailureClass::Other);
}

TEST(LockRetryPolicyTest, LockThenDuplicateTakesTheDuplicateOutcomeAtOnce) {
  lockretry::LockRetryPolicy policy;
  EXPECT_EQ(policy.OnFailure(-2147467259, "locked"), lockretry::Decision::Retry);
  EXPECT_EQ(policy.OnFailure(-2147467259, "duplicate"), lockretry::Decision::Duplicate);
}

}  // namespace
}  // namespace enginetest
