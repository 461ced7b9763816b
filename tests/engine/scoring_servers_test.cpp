// Games are kept per database and server: interleaved datagrams of two
// servers on one database, and of one server on two databases served by one
// process, never share a game.
#include <gtest/gtest.h>

#include <memory>

#include "scoring_support.h"
#include "test_env.h"

namespace {

using scoringtest::Keyword;
using scoringtest::Score;
using Rows = std::vector<std::string>;

class ScoringServers : public ::testing::Test {
 protected:
  void SetUp() override {
    boxes_ = std::make_shared<msgbox::ScriptedMessageBoxes>();
    msgbox::Install(boxes_);
    listener_ = std::make_unique<scoringtest::Listener>(dir_.File("Process.log"));
  }
  void TearDown() override { msgbox::Install(nullptr); }

  void Send(const scoringtest::ScoringDb& db, const datagram::Builder& b) {
    auto r = listener_->Send(db.connection_string(), b.Build());
    ASSERT_FALSE(r.threw) << r.error;
    ASSERT_TRUE(r.outcome.completed);
  }

  testkit::TempDir dir_;
  std::shared_ptr<msgbox::ScriptedMessageBoxes> boxes_;
  std::unique_ptr<scoringtest::Listener> listener_;
};

TEST_F(ScoringServers, InterleavedServersKeepTheirOwnGames) {
  scoringtest::ScoringDb db(dir_.path());
  auto a = scoringtest::ServerLog("Alpha", "192.0.2.1", "27960", 1);
  auto b = scoringtest::ServerLog("Bravo", "192.0.2.2", "27960", 1);

  a.records = {Keyword("PlayerConnect", "Ann", "Red", "1"), Score("Ann", "Ann", "Suicide", "Lava", "-1", "2")};
  Send(db, a);
  b.records = {Keyword("PlayerConnect", "Ben", "Blue", "1"), Score("Ben", "Ben", "Suicide", "Lava", "-1", "3")};
  Send(db, b);
  a.packet_number = 2;
  a.records = {Score("Ann", "Ann", "Suicide", "Slime", "-1", "4"), Keyword("GameEnd", "", "", "60")};
  Send(db, a);
  b.packet_number = 2;   // Alpha's GameEnd does not touch Bravo's game
  b.records = {Score("Ben", "Ben", "Suicide", "Slime", "-1", "5")};
  Send(db, b);

  EXPECT_EQ(db.Rows("SELECT Record, Server_Name FROM Servers ORDER BY Record"),
            (Rows{"1|Alpha", "2|Bravo"}));
  EXPECT_EQ(db.Rows("SELECT * FROM Servers_Games ORDER BY Record"), (Rows{"1|1|1", "2|2|2"}));
  // Ann is player 1, Ben player 2: each game holds only its own server's rows.
  EXPECT_EQ(db.Rows("SELECT Killer FROM Scores_0000001 ORDER BY Record"), (Rows{"1", "1", "1"}));
  EXPECT_EQ(db.Rows("SELECT Killer, Offset FROM Scores_0000002 ORDER BY Record"),
            (Rows{"2|1", "2|3", "2|5"}));
  EXPECT_EQ(db.Rows("SELECT Record, Game_End_Date_Time FROM Games ORDER BY Record"),
            (Rows{"1|1899-12-30 00:01:00", "2|1899-12-30 00:00:00"}));
  EXPECT_EQ(db.Rows("SELECT * FROM Games_Players_Teams ORDER BY Record"),
            (Rows{"1|1|1|1", "2|2|2|2"}));
  EXPECT_EQ(db.Rows("SELECT * FROM Logs_Games ORDER BY Record"), (Rows{"1|1|1", "2|2|2"}));
}

TEST_F(ScoringServers, PlayerVariablesGoToTheSendersGame) {
  scoringtest::ScoringDb db(dir_.path());
  auto a = scoringtest::ServerLog("Alpha", "192.0.2.1", "27960", 1);
  auto b = scoringtest::ServerLog("Bravo", "192.0.2.2", "27960", 1);
  a.records = {Keyword("GameStart")};
  Send(db, a);
  b.records = {Keyword("GameStart")};
  Send(db, b);
  a.records.clear();   // variables only: no record makes a game current here
  a.player_var_lines = {"netname \"Ann\"", "model \"sarge\""};
  Send(db, a);
  EXPECT_EQ(db.Rows("SELECT Game, Player FROM Games_Players_Cvars"), (Rows{"1|1"}));
}

TEST_F(ScoringServers, TwoDatabasesInOneProcessKeepTheirOwnGames) {
  scoringtest::ScoringDb one(dir_.path()), two(dir_.path());
  auto a = scoringtest::ServerLog("Alpha", "192.0.2.1", "27960", 1);
  // The second database already holds an unrelated game, so game numbers
  // differ between the two.
  two.Exec("INSERT INTO Games VALUES (1, '', '', 0, '2001-01-01 00:00:00', 0)");

  a.records = {Score("Ann", "Bob", "Kill", "Rail", "1", "1")};
  Send(one, a);
  Send(two, a);
  a.packet_number = 2;
  a.records = {Score("Bob", "Ann", "Kill", "Rail", "1", "2")};
  Send(one, a);
  Send(two, a);

  EXPECT_EQ(one.Rows("SELECT * FROM Servers_Games"), (Rows{"1|1|1"}));
  EXPECT_EQ(two.Rows("SELECT * FROM Servers_Games"), (Rows{"1|1|2"}));
  EXPECT_EQ(one.Rows("SELECT * FROM Scores_0000001 ORDER BY Record"),
            (Rows{"1|1|2|1|1|1|1", "2|2|1|1|1|1|2"}));
  EXPECT_EQ(two.Rows("SELECT * FROM Scores_0000002 ORDER BY Record"),
            (Rows{"1|1|2|1|1|1|1", "2|2|1|1|1|1|2"}));
  EXPECT_TRUE(boxes_->shown().empty());
}

}  // namespace
