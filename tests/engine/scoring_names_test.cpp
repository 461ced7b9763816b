// Names as they come from game servers: apostrophes, empty names, bytes
// above 127; variables whose value changes.
#include <gtest/gtest.h>

#include <memory>

#include "scoring_support.h"
#include "test_env.h"

namespace {

using scoringtest::Keyword;
using scoringtest::Score;
using Rows = std::vector<std::string>;

class ScoringNames : public ::testing::Test {
 protected:
  void SetUp() override {
    boxes_ = std::make_shared<msgbox::ScriptedMessageBoxes>();
    msgbox::Install(boxes_);
    db_ = std::make_unique<scoringtest::ScoringDb>(dir_.path());
    listener_ = std::make_unique<scoringtest::Listener>(dir_.File("Process.log"));
  }
  void TearDown() override { msgbox::Install(nullptr); }

  scoringtest::PassResult Send(const datagram::Builder& b) {
    return listener_->Send(db_->connection_string(), b.Build());
  }

  testkit::TempDir dir_;
  std::shared_ptr<msgbox::ScriptedMessageBoxes> boxes_;
  std::unique_ptr<scoringtest::ScoringDb> db_;
  std::unique_ptr<scoringtest::Listener> listener_;
};

TEST_F(ScoringNames, ApostrophesEmptyNamesAndHighBytesAreStoredAndFoundAgain) {
  const std::string latin = "J\xF6rg \xA9";       // ISO-8859-1 bytes
  const std::string utf8_lookalike = "\xC3\xA9";  // two narrow characters
  auto d = scoringtest::ServerLog("Bob's Place", "192.0.2.7", "27960", 1,
                                  {{"motd", "It's \"fun\""}});
  d.records = {Keyword("PlayerConnect", "O'Neil", "Red's", "1"),
               Score("O'Neil", "", "Head'Shot", "Jack's Knife", "2", "3"),
               Score(latin, utf8_lookalike, "Kill", "R\xE4il", "1", "4"),
               Keyword("Map", "Ma'p")};
  d.player_var_lines = {"netname \"O'Neil\"", "clan \"'\"", "netname \"" + latin + "\"",
                        "name \"\""};
  for (uint32_t packet = 1; packet <= 2; ++packet) {
    d.packet_number = packet;
    auto r = Send(d);
    ASSERT_FALSE(r.threw) << r.error;
    ASSERT_TRUE(r.outcome.completed);
  }
  EXPECT_TRUE(boxes_->shown().empty());
  auto& db = *db_;
  // Stored once each. The backend keeps texts as UTF-8: narrow bytes that
  // are no UTF-8 text are read as ISO-8859-1, a name that already is UTF-8
  // text is kept as it is.
  EXPECT_EQ(db.Rows("SELECT Record, Player FROM Players ORDER BY Record"),
            (Rows{"1|O'Neil", "2|", "3|J\xC3\xB6rg \xC2\xA9", "4|\xC3\xA9"}));
  EXPECT_EQ(db.Rows("SELECT Record, Server_Name FROM Servers"), (Rows{"1|Bob's Place"}));
  EXPECT_EQ(db.Rows("SELECT Team FROM Teams"), (Rows{"Red's"}));
  EXPECT_EQ(db.Rows("SELECT Type FROM Types ORDER BY Record"),
            (Rows{"PlayerConnect", "Head'Shot", "Kill"}));
  EXPECT_EQ(db.Rows("SELECT Weapon FROM Weapons ORDER BY Record"),
            (Rows{"Jack's Knife", "R\xC3\xA4il"}));
  EXPECT_EQ(db.Rows("SELECT Map FROM Maps"), (Rows{"Ma'p"}));
  EXPECT_EQ(db.One("SELECT Val FROM Cvars WHERE Cvar='motd'"), "It's \"fun\"");
  EXPECT_EQ(db.Rows("SELECT Cvar, Val FROM Cvars WHERE Record > 4 ORDER BY Record"),
            (Rows{"clan|'", "name|"}));
  EXPECT_EQ(db.Rows("SELECT * FROM Games_Players_Cvars ORDER BY Record"),
            (Rows{"1|1|1|5", "2|1|3|6"}));
  // Both datagrams' rows refer to the same dictionary records.
  EXPECT_EQ(db.Rows("SELECT Killer, Victim, Type, Weapon FROM Scores_0000001 ORDER BY Record"),
            (Rows{"1|0|1|0", "1|2|2|1", "3|4|3|2", "1|0|1|0", "1|2|2|1", "3|4|3|2"}));
  EXPECT_EQ(db.Count("Games_Maps"), 2);   // one row per "Map" record
  EXPECT_EQ(db.Count("Maps"), 1);
}

TEST_F(ScoringNames, AVariableWithANewValueGainsARowAndAnotherLink) {
  auto d = scoringtest::ServerLog("Alpha", "192.0.2.1", "27960", 1, {{"g_gametype", "4"}});
  ASSERT_FALSE(Send(d).threw);
  d.server_vars.back().second = "5";
  d.packet_number = 2;
  ASSERT_FALSE(Send(d).threw);
  d.packet_number = 3;   // back to the first value: nothing new
  d.server_vars.back().second = "4";
  ASSERT_FALSE(Send(d).threw);
  auto& db = *db_;
  EXPECT_EQ(db.Rows("SELECT Record, Cvar, Val FROM Cvars WHERE Cvar='g_gametype' ORDER BY Record"),
            (Rows{"4|g_gametype|4", "5|g_gametype|5"}));
  EXPECT_EQ(db.Rows("SELECT * FROM Servers_Cvars ORDER BY Record"),
            (Rows{"1|1|1", "2|1|2", "3|1|3", "4|1|4", "5|1|5"}));
  EXPECT_EQ(db.One("SELECT Packet_Number FROM Servers"), "3");
}

TEST_F(ScoringNames, MoreThanAHundredServerVariablesAreAllLinkedAndCopied) {
  std::vector<std::pair<std::string, std::string>> extra;
  for (int i = 0; i < 150; ++i) {
    extra.push_back({std::string("v").append(std::to_string(i)), std::to_string(i)});
  }
  auto d = scoringtest::ServerLog("Alpha", "192.0.2.1", "27960", 1, extra);
  d.records = {Keyword("GameStart")};
  auto r = Send(d);
  ASSERT_FALSE(r.threw) << r.error;
  EXPECT_EQ(db_->Count("Servers_Cvars"), 153);
  EXPECT_EQ(db_->Count("Games_Cvars"), 153);
  EXPECT_EQ(db_->One("SELECT Val FROM Cvars WHERE Cvar='v149'"), "149");
}

TEST_F(ScoringNames, TheSameNameTwiceInTheBlockIdentifiesByTheFirstAndLinksBoth) {
  auto d = scoringtest::ServerLog("Alpha", "192.0.2.1", "27960", 1, {{"hostname", "Other"}});
  ASSERT_FALSE(Send(d).threw);
  EXPECT_EQ(db_->Rows("SELECT Server_Name FROM Servers"), (Rows{"Alpha"}));
  EXPECT_EQ(db_->Count("Servers_Cvars"), 4);
}

}  // namespace
