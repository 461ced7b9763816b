// One realistic game in three datagrams, through Score_Class as the listener
// calls it, checked row by row in every table.
#include <gtest/gtest.h>

#include <memory>

#include "scoring_support.h"
#include "test_env.h"

namespace {

using scoringtest::Keyword;
using scoringtest::Score;
using Rows = std::vector<std::string>;

class ScoringGame : public ::testing::Test {
 protected:
  void SetUp() override {
    boxes_ = std::make_shared<msgbox::ScriptedMessageBoxes>();
    msgbox::Install(boxes_);
    db_ = std::make_unique<scoringtest::ScoringDb>(dir_.path());
    listener_ = std::make_unique<scoringtest::Listener>(dir_.File("Process.log"));
  }
  void TearDown() override { msgbox::Install(nullptr); }

  datagram::Builder Arena(uint32_t packet) {
    return scoringtest::ServerLog("Test Arena", "192.0.2.10", "27960", packet,
                                  {{"g_gametype", "4"}, {"sv_maxclients", "16"}});
  }
  scoringtest::PassResult Send(const datagram::Builder& b) {
    sent_.push_back(b.Build());
    return listener_->Send(db_->connection_string(), sent_.back());
  }

  testkit::TempDir dir_;
  std::shared_ptr<msgbox::ScriptedMessageBoxes> boxes_;
  std::unique_ptr<scoringtest::ScoringDb> db_;
  std::unique_ptr<scoringtest::Listener> listener_;
  std::vector<std::vector<uint8_t>> sent_;
};

TEST_F(ScoringGame, ThreeDatagramsProduceThePrescribedRows) {
  datagram::Builder d1 = Arena(1);
  d1.records = {Keyword("StdLog", "1.2"),
                Keyword("PatchName", "Relaymod 2.1"),
                Keyword("LogDate", "12/31/1999"),
                Keyword("LogTime", "13:45:10"),   // taken by LogDate as its time line
                Keyword("LogDeathFlags", "3"),
                Keyword("Map", "q3dm17"),
                Keyword("GameStart"),
                Keyword("PlayerConnect", "Alice", "Red", "0.5"),
                Keyword("PlayerConnect", "Bob", "Blue", "1"),
                Keyword("Player", "Carol", "Red", "2"),
                Score("Alice", "Bob", "Kill", "Railgun", "1", "10.5"),
                Score("Bob", "Bob", "Suicide", "Lava", "-1", "12")};
  d1.player_var_lines = {"netname \"Alice\"", "model \"sarge\"", "netname \"Bob\"",
                         "model \"visor\"", "rate \"25000\""};

  datagram::Builder d2 = Arena(2);
  d2.records = {Keyword("PlayerTeamChange", "Carol", "Blue", "30"),
                Keyword("PlayerRename", "Bob", "Robert", "35"),
                Score("Robert", "Alice", "Kill", "Railgun", "1", "40"),
                Score("Carol", "Robert", "Kill", "Rocket Launcher", "1", "41.25"),
                Keyword("PlayerLeft", "Robert", "", "50"),
                Keyword("PlayerLeft", "Alice", "", "55")};
  d2.player_var_lines = {"netname \"Robert\"", "model \"visor\"", "netname \"Carol\"",
                         "model \"sarge\""};

  datagram::Builder d3 = Arena(3);
  d3.records = {Score("Carol", "Carol", "Suicide", "Falling", "-1", "60"),
                Keyword("GameEnd", "", "", "3725"),
                Keyword("Map", "q3dm6")};   // opens the next game
  d3.player_var_lines = {"netname \"Carol\"", "model \"sarge\""};

  for (const auto* d : {&d1, &d2, &d3}) {
    auto r = Send(*d);
    ASSERT_FALSE(r.threw) << r.error;
    EXPECT_TRUE(r.outcome.completed);
    EXPECT_TRUE(r.outcome.skipped_lines.empty());
  }
  EXPECT_TRUE(boxes_->shown().empty());

  auto& db = *db_;
  // Every datagram is archived whole.
  EXPECT_EQ(db.Rows("SELECT Record, Log_IP, Log_Port FROM Logs ORDER BY Record"),
            (Rows{"1|127.0.0.1|27961", "2|127.0.0.1|27961", "3|127.0.0.1|27961"}));
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(db.Blob("SELECT Log_Data FROM Logs WHERE Record=" + std::to_string(i + 1)),
              sent_[i]);
  }
  EXPECT_EQ(db.Rows("SELECT Record, Server_Name, Server_IP, Server_Port, Packet_Number FROM "
                    "Servers"),
            (Rows{"1|Test Arena|192.0.2.10|27960|3"}));
  EXPECT_EQ(db.Rows("SELECT Record, Cvar, Val FROM Cvars ORDER BY Record"),
            (Rows{"1|hostname|Test Arena", "2|$HOST_IP$|192.0.2.10", "3|port|27960",
                  "4|g_gametype|4", "5|sv_maxclients|16", "6|model|sarge", "7|model|visor",
                  "8|rate|25000"}));
  EXPECT_EQ(db.Rows("SELECT * FROM Servers_Cvars ORDER BY Record"),
            (Rows{"1|1|1", "2|1|2", "3|1|3", "4|1|4", "5|1|5"}));
  EXPECT_EQ(db.Rows("SELECT * FROM Games ORDER BY Record"),
            (Rows{"1|1.2|Relaymod 2.1|1999-12-31 13:45:10|1999-12-31 14:47:15|3",
                  "2|||1899-12-30 00:00:00|1899-12-30 00:00:00|0"}));
  EXPECT_EQ(db.Rows("SELECT * FROM Servers_Games ORDER BY Record"), (Rows{"1|1|1", "2|1|2"}));
  EXPECT_EQ(db.Rows("SELECT * FROM Games_Cvars ORDER BY Record"),
            (Rows{"1|1|1", "2|1|2", "3|1|3", "4|1|4", "5|1|5", "6|2|1", "7|2|2", "8|2|3",
                  "9|2|4", "10|2|5"}));
  // Only datagrams whose first records found no current game are linked.
  EXPECT_EQ(db.Rows("SELECT * FROM Logs_Games ORDER BY Record"), (Rows{"1|1|1", "2|3|2"}));
  EXPECT_EQ(db.Rows("SELECT Record, Map FROM Maps ORDER BY Record"),
            (Rows{"1|q3dm17", "2|q3dm6"}));
  EXPECT_EQ(db.Rows("SELECT * FROM Games_Maps ORDER BY Record"), (Rows{"1|1|1", "2|2|2"}));
  EXPECT_EQ(db.Rows("SELECT Record, Player FROM Players ORDER BY Record"),
            (Rows{"1|Alice", "2|Bob", "3|Carol", "4|Robert"}));
  EXPECT_EQ(db.Rows("SELECT Record, Team FROM Teams ORDER BY Record"), (Rows{"1|Red", "2|Blue"}));
  EXPECT_EQ(db.Rows("SELECT Record, Type FROM Types ORDER BY Record"),
            (Rows{"1|PlayerConnect", "2|Player", "3|Kill", "4|Suicide", "5|PlayerTeamChange",
                  "6|PlayerRename", "7|PlayerLeft"}));
  EXPECT_EQ(db.Rows("SELECT Record, Weapon FROM Weapons ORDER BY Record"),
            (Rows{"1|Railgun", "2|Lava", "3|Rocket Launcher", "4|Falling"}));
  EXPECT_EQ(db.Rows("SELECT * FROM Games_Players_Teams ORDER BY Record"),
            (Rows{"1|1|1|1", "2|1|2|2", "3|1|3|1", "4|1|3|2", "5|1|4|0"}));
  EXPECT_EQ(db.Rows("SELECT * FROM Games_Players_Cvars ORDER BY Record"),
            (Rows{"1|1|1|6", "2|1|2|7", "3|1|2|8", "4|1|4|7", "5|1|3|6", "6|2|3|6"}));
  EXPECT_EQ(db.Rows("SELECT * FROM Scores_0000001 ORDER BY Record"),
            (Rows{"1|1|0|1|0|0|0.5", "2|2|0|1|0|0|1", "3|3|0|2|0|0|2", "4|1|2|3|1|1|10.5",
                  "5|2|2|4|2|-1|12", "6|3|0|5|0|0|30", "7|2|4|6|0|0|35", "8|4|1|3|1|1|40",
                  "9|3|4|3|3|1|41.25", "10|4|0|7|0|0|50", "11|1|0|7|0|0|55",
                  "12|3|3|4|4|-1|60"}));
  EXPECT_EQ(db.Count("Scores_0000002"), 0);
  EXPECT_EQ(db.Count("Scores"), 0);
  // Dictionary rows carry the moment they were first seen.
  for (const char* table : {"Cvars", "Maps", "Players", "Teams", "Types", "Weapons", "Servers"}) {
    EXPECT_EQ(db.One(std::string("SELECT COUNT(*) FROM ") + table +
                     " WHERE Date_Time IS NULL OR Date_Time < '2000-01-01'"),
              "0")
        << table;
  }
  auto log = scoringtest::LogLines(listener_->log_path());
  ASSERT_EQ(log.size(), 6u);
  EXPECT_EQ(log[5].rfind("Process# 3 COMPLETED ", 0), 0u);
}

TEST_F(ScoringGame, GameEndThenRecordsStartANewGameInTheSameDatagram) {
  datagram::Builder d = Arena(7);
  d.records = {Keyword("PlayerConnect", "Alice", "Red", "1"), Keyword("GameEnd", "", "", "100"),
               Score("Alice", "Bob", "Kill", "Railgun", "1", "3")};
  ASSERT_FALSE(Send(d).threw);
  auto& db = *db_;
  EXPECT_EQ(db.Rows("SELECT Record, Game_Start_Date_Time, Game_End_Date_Time FROM Games"),
            (Rows{"1|1899-12-30 00:00:00|1899-12-30 00:01:40",
                  "2|1899-12-30 00:00:00|1899-12-30 00:00:00"}));
  EXPECT_EQ(db.Count("Scores_0000001"), 1);
  EXPECT_EQ(db.Rows("SELECT * FROM Scores_0000002"), (Rows{"1|1|2|2|1|1|3"}));
  EXPECT_EQ(db.Rows("SELECT * FROM Logs_Games ORDER BY Record"), (Rows{"1|1|1", "2|1|2"}));
}

TEST_F(ScoringGame, AnOpenGameIsResumedFromTheDatabaseAfterARestartOfItsSlot) {
  // A second database connection string naming the same file stands for a
  // restarted listener: its game slots are empty, the database still has
  // the open game.
  datagram::Builder d = Arena(1);
  d.records = {Keyword("PlayerConnect", "Alice", "Red", "1")};
  ASSERT_FALSE(Send(d).threw);
  d.records = {Score("Alice", "Alice", "Suicide", "Lava", "-1", "9")};
  sent_.push_back(d.Build());
  auto r = listener_->Send(db_->connection_string() + ";", sent_.back());
  ASSERT_FALSE(r.threw) << r.error;
  EXPECT_EQ(db_->Count("Games"), 1);
  EXPECT_EQ(db_->Count("Scores_0000001"), 2);
  EXPECT_EQ(db_->Rows("SELECT * FROM Logs_Games ORDER BY Record"), (Rows{"1|1|1", "2|2|1"}));
}

TEST_F(ScoringGame, ALatestGameWithoutItsGamesRowIsNotResumed) {
  datagram::Builder d = Arena(1);
  d.records = {Keyword("PlayerConnect", "Alice", "Red", "1")};
  ASSERT_FALSE(Send(d).threw);
  // As after an ignored Games insert: the server's latest game is 0, which
  // has no Games row.
  db_->Exec("UPDATE Servers_Games SET Game = 0");
  d.records = {Score("Alice", "Alice", "Suicide", "Lava", "-1", "9")};
  sent_.push_back(d.Build());
  auto r = listener_->Send(db_->connection_string() + ";", sent_.back());
  ASSERT_FALSE(r.threw) << r.error;
  EXPECT_EQ(db_->Rows("SELECT * FROM Servers_Games ORDER BY Record"), (Rows{"1|1|0", "2|1|2"}));
  EXPECT_EQ(db_->Rows("SELECT * FROM Scores_0000002"), (Rows{"1|1|1|2|1|-1|9"}));
  EXPECT_TRUE(boxes_->shown().empty());
}

}  // namespace
