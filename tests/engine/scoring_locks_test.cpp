// Lock conflicts, duplicate keys and Cancel during scoring, with a second
// connection on the same database file as the other writer.
#include <gtest/gtest.h>

#include <memory>

#include "scoring_support.h"
#include "test_env.h"

namespace {

using scoringtest::Keyword;
using scoringtest::Score;
using Rows = std::vector<std::string>;

const std::string kLongName(51, 'x');   // longer than Players.Player: the insert is rejected

class ScoringLocks : public ::testing::Test {
 protected:
  void SetUp() override {
    boxes_ = std::make_shared<scoringtest::ActionBoxes>();
    msgbox::Install(boxes_);
    db_ = std::make_unique<scoringtest::ScoringDb>(dir_.path());
    listener_ = std::make_unique<scoringtest::Listener>(dir_.File("Process.log"));
  }
  void TearDown() override { msgbox::Install(nullptr); }

  scoringtest::PassResult Send(const datagram::Builder& b) {
    // A short busy timeout: each of the ten attempts waits that long.
    return listener_->Send(db_->connection_string() + ";Busy Timeout=50", b.Build());
  }

  testkit::TempDir dir_;
  std::shared_ptr<scoringtest::ActionBoxes> boxes_;
  std::unique_ptr<scoringtest::ScoringDb> db_;
  std::unique_ptr<scoringtest::Listener> listener_;
};

TEST_F(ScoringLocks, ALockDuringTheRecordWalkIsWaitedOutAndADuplicateNumberSkipped) {
  auto d = scoringtest::ServerLog("Alpha", "192.0.2.1", "27960", 1);
  d.records = {Keyword("PlayerConnect", "Ann", "Red", "1")};
  ASSERT_FALSE(Send(d).threw);

  // Another writer holds the database and has taken, not yet committed, the
  // Players record the engine will number next.
  db_->Exec("BEGIN IMMEDIATE");
  db_->Exec("INSERT INTO Players VALUES (2, 'Intruder', '2001-01-01 00:00:00')");
  boxes_->Then(msgbox::vbNo);   // the archive: go on without the Logs row
  boxes_->Then(msgbox::vbNo);   // the packet number update: ignored
  // The new player's insert: the writer commits, the user says Yes; the
  // retry meets the duplicate key and the next number is taken.
  boxes_->Then([&](const std::string& text, const std::string&) {
    EXPECT_NE(text.find("Click No to ignore error# -2147467259: "), std::string::npos);
    db_->Exec("COMMIT");
    return msgbox::vbYes;
  });
  d.packet_number = 2;
  d.records = {Score("Zed", "Ann", "Kill", "Rail", "1", "5")};
  auto r = Send(d);
  ASSERT_FALSE(r.threw) << r.error;
  EXPECT_TRUE(r.outcome.completed);
  ASSERT_EQ(boxes_->titles().size(), 3u);
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(boxes_->titles()[i], "Record is Locked");
    EXPECT_EQ(boxes_->texts()[i].rfind("Database is temporarily locked by another process.\r\n", 0),
              0u);
  }
  EXPECT_EQ(db_->Rows("SELECT Record, Player FROM Players ORDER BY Record"),
            (Rows{"1|Ann", "2|Intruder", "3|Zed"}));
  EXPECT_EQ(db_->Rows("SELECT * FROM Scores_0000001 ORDER BY Record"),
            (Rows{"1|1|0|1|0|0|1", "2|3|1|2|1|1|5"}));
  EXPECT_EQ(db_->Count("Logs"), 1);
  EXPECT_EQ(db_->One("SELECT Packet_Number FROM Servers"), "1");
}

TEST_F(ScoringLocks, ANewServerRowTakesTheNextNumberAfterAConcurrentWriter) {
  // The other writer holds the database from the start: the archive is
  // ignored (No), then the Servers insert waits until the writer commits
  // its own row with the number the engine picked.
  db_->Exec("BEGIN IMMEDIATE");
  db_->Exec("INSERT INTO Servers VALUES (1, 'Intruder', '0.0.0.0', '1', 0, '2001-01-01')");
  boxes_->Then(msgbox::vbNo);
  boxes_->Then([&](const std::string&, const std::string&) {
    db_->Exec("COMMIT");
    return msgbox::vbYes;
  });
  auto d = scoringtest::ServerLog("Alpha", "192.0.2.1", "27960", 9);
  d.records = {Keyword("GameStart")};
  auto r = Send(d);
  ASSERT_FALSE(r.threw) << r.error;
  EXPECT_TRUE(r.outcome.completed);
  EXPECT_EQ(db_->Count("Logs"), 0);
  EXPECT_EQ(db_->Rows("SELECT Record, Server_Name, Packet_Number FROM Servers ORDER BY Record"),
            (Rows{"1|Intruder|0", "2|Alpha|9"}));
  EXPECT_EQ(db_->Rows("SELECT * FROM Servers_Games"), (Rows{"1|2|1"}));
  EXPECT_EQ(db_->Rows("SELECT * FROM Logs_Games"), (Rows{"1|0|1"}));   // the log row was ignored
}

TEST_F(ScoringLocks, CancelStopsThePassWithNothingMoreStored) {
  auto d = scoringtest::ServerLog("Alpha", "192.0.2.1", "27960", 1);
  d.records = {Keyword("PlayerConnect", "Ann", "Red", "1"),
               Score(kLongName, "Ann", "Kill", "Rail", "1", "5"),
               Score("Bob", "Ann", "Kill", "Rail", "1", "6")};
  d.player_var_lines = {"netname \"Ann\"", "model \"sarge\""};
  boxes_->Then(msgbox::vbCancel);
  auto r = Send(d);
  ASSERT_FALSE(r.threw) << r.error;
  EXPECT_TRUE(r.outcome.stopped);
  EXPECT_FALSE(r.outcome.completed);
  EXPECT_EQ(db_->Rows("SELECT Player FROM Players"), (Rows{"Ann"}));
  EXPECT_EQ(db_->Count("Scores_0000001"), 1);
  EXPECT_EQ(db_->Count("Weapons"), 0);
  EXPECT_EQ(db_->Count("Games_Players_Cvars"), 0);
  auto log = scoringtest::LogLines(listener_->log_path());
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].rfind("Process# 1 STARTED ", 0), 0u);

  // The next pass numbers itself on and finds the game still open.
  d.packet_number = 2;
  d.records = {Score("Bob", "Ann", "Kill", "Rail", "1", "6")};
  r = Send(d);
  ASSERT_FALSE(r.threw) << r.error;
  EXPECT_TRUE(r.outcome.completed);
  EXPECT_EQ(db_->Count("Games"), 1);
  EXPECT_EQ(db_->Count("Scores_0000001"), 2);
  log = scoringtest::LogLines(listener_->log_path());
  ASSERT_EQ(log.size(), 3u);
  EXPECT_EQ(log[2].rfind("Process# 2 COMPLETED ", 0), 0u);
}

}  // namespace
