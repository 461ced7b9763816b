// The ledger of spooled datagrams: a datagram handed over again with the
// identity of one stored before is skipped whole; the ledger moves on only
// with a pass that commits, and comes back when its table goes.
#include "engine_fixture.h"

namespace enginetest {
namespace {

class LedgerTest : public OnEachBackend<EngineTest> {
 protected:
  PassResult PassAs(const std::string& key, uint64_t sequence, const datagram::Builder& d) {
    options_.spool_key = key;
    options_.sequence = sequence;
    PassResult r = Pass(d);
    options_.spool_key.clear();
    options_.sequence = 0;
    return r;
  }
  std::string Through(const std::string& key) {
    return One("SELECT Last_Sequence FROM Tallyhost_Received WHERE Spool_Key = '" + key + "'");
  }
  static constexpr const char* kKey = "00a1b2c3d4e5f607";
  static constexpr const char* kOther = "ffffffff00000001";
};

TEST_P(LedgerTest, ADatagramHandedOverAgainIsSkippedWholeAndOthersAreStoredOnce) {
  auto kill = [](int n) { return Alpha({Score("Ann", "Bob", "Kill", "Rail", "1", std::to_string(n))}, n); };
  ASSERT_TRUE(PassAs(kKey, 1, kill(1)).outcome.completed);
  EXPECT_EQ(Through(kKey), "1");
  const size_t lines = LogLines().size();

  PassResult again = PassAs(kKey, 1, kill(1));
  EXPECT_FALSE(again.threw) << again.error;
  EXPECT_TRUE(again.outcome.already_stored);
  EXPECT_FALSE(again.outcome.completed);
  EXPECT_FALSE(again.outcome.deferred);
  EXPECT_EQ(Count("Logs"), 1);
  EXPECT_EQ(LogLines().size(), lines + 1);   // its STARTED line only

  ASSERT_TRUE(PassAs(kKey, 2, kill(2)).outcome.completed);
  EXPECT_TRUE(PassAs(kKey, 1, kill(1)).outcome.already_stored);   // an older number too
  EXPECT_TRUE(PassAs(kKey, 2, kill(2)).outcome.already_stored);
  // Another spool's numbers are its own; a pass without identity keeps no
  // ledger, and the identity of one pass is not carried to the next.
  ASSERT_TRUE(PassAs(kOther, 1, kill(3)).outcome.completed);
  ASSERT_TRUE(PassAs(kKey, 5, kill(4)).outcome.completed);
  ASSERT_TRUE(Stored(kill(5)).outcome.completed);
  ASSERT_TRUE(Stored(kill(6)).outcome.completed);
  EXPECT_EQ(Through(kKey), "5");
  EXPECT_EQ(Through(kOther), "1");
  EXPECT_EQ(Count("Logs"), 6);
  EXPECT_EQ(Count("Scores_0000001"), 6);
  EXPECT_EQ(Count("Tallyhost_Received"), 2);
  // A key that is no key never reaches a statement: the datagram waits.
  PassResult forged = PassAs("x' or '1'='1", 9, kill(7));
  EXPECT_TRUE(forged.outcome.deferred);
  EXPECT_EQ(Count("Logs"), 6);
}

TEST_P(LedgerTest, ThePassThatCannotBeginLeavesTheLedgerAsItWasAndADroppedTableIsMadeAgain) {
  auto kill = [](int n) { return Alpha({Score("Ann", "Bob", "Kill", "Rail", "1", std::to_string(n))}, n); };
  ASSERT_TRUE(PassAs(kKey, 1, kill(1)).outcome.completed);
  {
    auto lock = LockDatabase();
    boxes_->Push(msgbox::vbNo);   // the lock prompt, where the lock is met at the start
    PassResult r = PassAs(kKey, 2, kill(2));
    EXPECT_TRUE(r.outcome.deferred);   // nothing stored: the datagram is handed over again
    EXPECT_NE(r.error.find("locked"), std::string::npos) << r.error;
    boxes_->Clear();
  }
  EXPECT_EQ(Through(kKey), "1");
  EXPECT_EQ(Count("Logs"), 1);
  ASSERT_TRUE(PassAs(kKey, 2, kill(2)).outcome.completed);
  EXPECT_EQ(Through(kKey), "2");
  EXPECT_EQ(Count("Logs"), 2);
  EXPECT_EQ(Count("Scores_0000001"), 2);

  Exec("DROP TABLE Tallyhost_Received");
  PassResult r = PassAs(kKey, 3, kill(3));   // the table was known: this pass finds it gone
  EXPECT_TRUE(r.outcome.deferred);
  EXPECT_NE(r.error.find("Tallyhost_Received"), std::string::npos) << r.error;
  ASSERT_TRUE(PassAs(kKey, 3, kill(3)).outcome.completed);
  EXPECT_EQ(Through(kKey), "3");
  EXPECT_EQ(Count("Logs"), 3);
}

INSTANTIATE_ON_EACH_BACKEND(LedgerTest);

}  // namespace
}  // namespace enginetest
