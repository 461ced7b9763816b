// Games, servers and names end to end through Score_Class as the listener
// calls it, checked row by row.
#include "engine_fixture.h"

namespace enginetest {
namespace {

using ScoringGame = OnEachBackend<EngineTest>;
INSTANTIATE_ON_EACH_BACKEND(ScoringGame);

TEST_P(ScoringGame, ThreeDatagramsProduceThePrescribedRows) {
  auto arena = [](uint32_t packet) {
    return ServerLog("Test Arena", packet, {{"g_gametype", "4"}, {"sv_maxclients", "16"}});
  };
  datagram::Builder d1 = arena(1);
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
  datagram::Builder d2 = arena(2);
  d2.records = {Keyword("PlayerTeamChange", "Carol", "Blue", "30"),
                Keyword("PlayerRename", "Bob", "Robert", "35"),
                Score("Robert", "Alice", "Kill", "Railgun", "1", "40"),
                Score("Carol", "Robert", "Kill", "Rocket Launcher", "1", "41.25"),
                Keyword("PlayerLeft", "Robert", "", "50"),
                Keyword("PlayerLeft", "Alice", "", "55")};
  d2.player_var_lines = {"netname \"Robert\"", "model \"visor\"", "netname \"Carol\"",
                         "model \"sarge\""};
  datagram::Builder d3 = arena(3);
  d3.records = {Score("Carol", "Carol", "Suicide", "Falling", "-1", "60"),
                Keyword("GameEnd", "", "", "3725"),
                Keyword("Map", "q3dm6")};   // opens the next game
  d3.player_var_lines = {"netname \"Carol\"", "model \"sarge\""};

  for (const auto* d : {&d1, &d2, &d3}) EXPECT_TRUE(Stored(*d).outcome.skipped_lines.empty());
  EXPECT_TRUE(boxes_->shown().empty());

  const std::pair<const char*, Lines> tables[] = {
      {"SELECT Record, Server_Name, Server_IP, Server_Port, Packet_Number FROM Servers",
       {"1|Test Arena|192.0.2.1|27960|3"}},
      {"SELECT Record, Cvar, Val FROM Cvars ORDER BY Record",
       {"1|hostname|Test Arena", "2|$HOST_IP$|192.0.2.1", "3|port|27960", "4|g_gametype|4", "5|sv_maxclients|16",
        "6|model|sarge", "7|model|visor", "8|rate|25000"}},
      {"SELECT * FROM Servers_Cvars ORDER BY Record", {"1|1|1", "2|1|2", "3|1|3", "4|1|4", "5|1|5"}},
      {"SELECT * FROM Games ORDER BY Record",
       {"1|1.2|Relaymod 2.1|1999-12-31 13:45:10|1999-12-31 14:47:15|3",
        "2|||1899-12-30 00:00:00|1899-12-30 00:00:00|0"}},
      {"SELECT * FROM Servers_Games ORDER BY Record", {"1|1|1", "2|1|2"}},
      {"SELECT Game, count(*) FROM Games_Cvars GROUP BY Game ORDER BY Game", {"1|5", "2|5"}},
      // Only datagrams whose first records found no current game are linked.
      {"SELECT * FROM Logs_Games ORDER BY Record", {"1|1|1", "2|3|2"}},
      {"SELECT Record, Map FROM Maps ORDER BY Record", {"1|q3dm17", "2|q3dm6"}},
      {"SELECT * FROM Games_Maps ORDER BY Record", {"1|1|1", "2|2|2"}},
      {"SELECT Record, Player FROM Players ORDER BY Record", {"1|Alice", "2|Bob", "3|Carol", "4|Robert"}},
      {"SELECT Record, Team FROM Teams ORDER BY Record", {"1|Red", "2|Blue"}},
      {"SELECT Record, Type FROM Types ORDER BY Record",
       {"1|PlayerConnect", "2|Player", "3|Kill", "4|Suicide", "5|PlayerTeamChange", "6|PlayerRename", "7|PlayerLeft"}},
      {"SELECT Record, Weapon FROM Weapons ORDER BY Record", {"1|Railgun", "2|Lava", "3|Rocket Launcher", "4|Falling"}},
      {"SELECT * FROM Games_Players_Teams ORDER BY Record", {"1|1|1|1", "2|1|2|2", "3|1|3|1", "4|1|3|2", "5|1|4|0"}},
      {"SELECT * FROM Games_Players_Cvars ORDER BY Record",
       {"1|1|1|6", "2|1|2|7", "3|1|2|8", "4|1|4|7", "5|1|3|6", "6|2|3|6"}},
      {"SELECT * FROM Scores_0000001 ORDER BY Record",
       {"1|1|0|1|0|0|0.5", "2|2|0|1|0|0|1", "3|3|0|2|0|0|2", "4|1|2|3|1|1|10.5", "5|2|2|4|2|-1|12",
        "6|3|0|5|0|0|30", "7|2|4|6|0|0|35", "8|4|1|3|1|1|40", "9|3|4|3|3|1|41.25", "10|4|0|7|0|0|50",
        "11|1|0|7|0|0|55", "12|3|3|4|4|-1|60"}},
      {"SELECT count(*) FROM Scores_0000002", {"0"}},
      {"SELECT count(*) FROM Scores", {"0"}}};
  for (const auto& [sql, rows] : tables) EXPECT_EQ(Table(sql), rows) << sql;
  // Dictionary rows carry the moment they were first seen.
  for (const char* table : {"Cvars", "Maps", "Players", "Teams", "Types", "Weapons", "Servers"})
    EXPECT_EQ(Count(std::string(table) + " WHERE Date_Time IS NULL OR Date_Time < '2000-01-01'"), 0) << table;
}

TEST_P(ScoringGame, AnOpenGameIsResumedAfterARestartAndOneWithoutItsRowIsNot) {
  // Another connection string stands for a restarted listener: the newest open game is resumed.
  Stored(Alpha({Keyword("PlayerConnect", "Alice", "Red", "1"), Keyword("GameEnd", "", "", "5"),
                Keyword("PlayerConnect", "Alice", "Red", "1")}));
  extra_settings_ += ";";
  auto d = Alpha({Score("Alice", "Alice", "Suicide", "Lava", "-1", "9")});
  Stored(d);
  EXPECT_EQ(Count("Games"), 2);
  EXPECT_EQ(Count("Scores_0000002"), 2);
  EXPECT_EQ(Table("SELECT * FROM Logs_Games ORDER BY Record"), (Lines{"1|1|1", "2|1|2", "3|2|2"}));

  // As after an ignored Games insert: the latest game, 0, has no Games row.
  Exec("UPDATE Servers_Games SET Game = 0");
  extra_settings_ += ";";
  Stored(d);
  EXPECT_EQ(Table("SELECT * FROM Servers_Games ORDER BY Record"), (Lines{"1|1|0", "2|1|0", "3|1|3"}));
  EXPECT_EQ(Table("SELECT * FROM Scores_0000003"), (Lines{"1|1|1|2|1|-1|9"}));
  EXPECT_TRUE(boxes_->shown().empty());
}

TEST_P(ScoringGame, InterleavedServersAndDatabasesKeepTheirOwnGames) {
  auto a = ServerLog("Alpha"), b = ServerLog("Bravo");
  a.records = {Keyword("PlayerConnect", "Ann", "Red", "1"), Score("Ann", "Ann", "Suicide", "Lava", "-1", "2")};
  b.records = {Keyword("PlayerConnect", "Ben", "Blue", "1"), Score("Ben", "Ben", "Suicide", "Lava", "-1", "3")};
  Stored(a);
  Stored(b);
  a.records = {Score("Ann", "Ann", "Suicide", "Slime", "-1", "4"), Keyword("GameEnd", "", "", "60")};
  Stored(a);
  b.records = {Score("Ben", "Ben", "Suicide", "Slime", "-1", "5")};   // untouched by Alpha's end
  Stored(b);
  a.records.clear();   // variables alone go to the sender's game, closed or not
  a.player_var_lines = {"netname \"Ann\"", "model \"sarge\""};
  Stored(a);

  EXPECT_EQ(Table("SELECT * FROM Servers_Games ORDER BY Record"), (Lines{"1|1|1", "2|2|2"}));
  EXPECT_EQ(Table("SELECT Killer, Offset FROM Scores_0000001 ORDER BY Record"), (Lines{"1|1", "1|2", "1|4"}));
  EXPECT_EQ(Table("SELECT Killer, Offset FROM Scores_0000002 ORDER BY Record"), (Lines{"2|1", "2|3", "2|5"}));
  EXPECT_EQ(Table("SELECT Record, Game_End_Date_Time FROM Games ORDER BY Record"),
            (Lines{"1|1899-12-30 00:01:00", "2|1899-12-30 00:00:00"}));
  EXPECT_EQ(Table("SELECT Game, Player FROM Games_Players_Cvars"), (Lines{"1|1"}));

  // The same server on a second database with other game numbers: each keeps its own game.
  const std::string first = db_path_, second = MakeDatabase("two.db");
  db_path_ = second;
  // A zero date is stored as 0 by some programs; PostgreSQL takes only dates.
  Exec(std::string("INSERT INTO Games VALUES (1, '', '', ") + (OnPostgres() ? "'1899-12-30 00:00:00'" : "0") +
       ", '2001-01-01 00:00:00', 0)");
  a.records = {Score("Ann", "Bob", "Kill", "Rail", "1", "7")};
  a.player_var_lines.clear();
  Stored(a);
  db_path_ = first;
  Stored(a);
  db_path_ = second;
  EXPECT_EQ(Table("SELECT * FROM Servers_Games"), (Lines{"1|1|2"}));
  EXPECT_EQ(Count("Scores_0000002"), 1);
  db_path_ = first;
  EXPECT_EQ(Table("SELECT * FROM Servers_Games ORDER BY Record"), (Lines{"1|1|1", "2|2|2", "3|1|3"}));
  EXPECT_TRUE(boxes_->shown().empty());
}

TEST_P(ScoringGame, NamesWithApostrophesEmptyAndHighBytesAreStoredOnceAndFoundAgain) {
  const std::string latin = "J\xF6rg \xA9";       // ISO-8859-1 bytes
  const std::string utf8_lookalike = "\xC3\xA9";  // two narrow characters
  auto d = ServerLog("Bob's Place", 1, {{"motd", "It's \"fun\""}});
  d.records = {Keyword("PlayerConnect", "O'Neil", "Red's", "1"),
               Score("O'Neil", "", "Head'Shot", "Jack's Knife", "2", "3"),
               Score(latin, utf8_lookalike, "Kill", "R\xE4il", "1", "4"),
               Keyword("Map", "Ma'p")};
  d.player_var_lines = {"netname \"O'Neil\"", "clan \"'\"", "netname \"" + latin + "\"", "name \"\""};
  for (uint32_t packet = 1; packet <= 2; ++packet) {
    d.packet_number = packet;
    Stored(d);
  }
  EXPECT_TRUE(boxes_->shown().empty());
  // Stored as UTF-8: bytes that are no UTF-8 text read as ISO-8859-1, UTF-8 kept as it is.
  const std::pair<const char*, Lines> tables[] = {
      {"SELECT Record, Player FROM Players ORDER BY Record",
       {"1|O'Neil", "2|", "3|J\xC3\xB6rg \xC2\xA9", "4|\xC3\xA9"}},
      {"SELECT Server_Name FROM Servers", {"Bob's Place"}},
      {"SELECT Team FROM Teams", {"Red's"}},
      {"SELECT Type FROM Types ORDER BY Record", {"PlayerConnect", "Head'Shot", "Kill"}},
      {"SELECT Weapon FROM Weapons ORDER BY Record", {"Jack's Knife", "R\xC3\xA4il"}},
      {"SELECT Map FROM Maps", {"Ma'p"}},
      {"SELECT Val FROM Cvars WHERE Cvar='motd'", {"It's \"fun\""}},
      {"SELECT Cvar, Val FROM Cvars WHERE Record > 4 ORDER BY Record", {"clan|'", "name|"}},
      {"SELECT * FROM Games_Players_Cvars ORDER BY Record", {"1|1|1|5", "2|1|3|6"}},
      {"SELECT Killer, Victim, Type, Weapon FROM Scores_0000001 ORDER BY Record",
       {"1|0|1|0", "1|2|2|1", "3|4|3|2", "1|0|1|0", "1|2|2|1", "3|4|3|2"}},
      {"SELECT count(*) FROM Games_Maps", {"2"}}};   // one row per "Map" record
  for (const auto& [sql, rows] : tables) EXPECT_EQ(Table(sql), rows) << sql;
}

TEST_P(ScoringGame, ServerVariablesAreLinkedOnceEachAndAllCopied) {
  // 100 variable lines, the most a datagram holds.
  std::vector<std::pair<std::string, std::string>> extra = {{"hostname", "Other"}};
  for (int i = 0; i < 96; ++i) extra.push_back({std::string("v").append(std::to_string(i)), std::to_string(i)});
  auto d = ServerLog("Alpha", 1, extra);
  d.records = {Keyword("GameStart")};
  Stored(d);
  d.packet_number = 2;   // a changed value gains a row and a link; the old link stays
  d.server_vars.back().second = "new";
  Stored(d);
  d.packet_number = 3;   // back to the first value: nothing new
  d.server_vars.back().second = "95";
  Stored(d);
  // The first "hostname" identifies the server; both are linked.
  EXPECT_EQ(Table("SELECT Record, Server_Name, Packet_Number FROM Servers"), (Lines{"1|Alpha|3"}));
  EXPECT_EQ(Table("SELECT Record, Val FROM Cvars WHERE Cvar='v95' ORDER BY Record"),
            (Lines{"100|95", "101|new"}));
  EXPECT_EQ(Count("Servers_Cvars"), 101);
  EXPECT_EQ(Count("Games_Cvars"), 100);   // copied when the game began
  // A new game copies all of the server's variables, more than 100 now.
  d.packet_number = 4;
  d.records = {Keyword("GameEnd", "", "", "5"), Keyword("GameStart")};
  Stored(d);
  EXPECT_EQ(Count("Games_Cvars"), 201);
}

}  // namespace
}  // namespace enginetest
