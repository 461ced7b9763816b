// Bad input from game servers and trouble with the database (locks, duplicate
// keys, Cancel, another writer) during scoring, end to end.
#include "engine_fixture.h"
#include "scoring.h"
#include "textfile.h"

namespace enginetest {
namespace {

using ScoringFaults = OnEachBackend<EngineTest>;
using ScoringFaultsOnSqlite = EngineTest;   // SQLite's lock at BEGIN IMMEDIATE, its triggers
INSTANTIATE_ON_EACH_BACKEND(ScoringFaults);

// Each fails clearly after its Logs row is stored.
TEST_P(ScoringFaults, MalformedDatagramsFailClearlyAfterTheirLogsRow) {
  const std::string header(20, '\x01'), nul(1, '\0');
  // 100 variables, empty lines among them, are the most a datagram may hold.
  std::string many_variables = "hostname \"h\"\n$HOST_IP$ \"1.2.3.4\"\nport \"1\"\n\n";
  for (int v = 4; v <= 100; ++v) many_variables.append("v").append(std::to_string(v)).append(" \"x\"\n\n");
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"", "Malformed datagram: 0 bytes, shorter than its 20-byte header."},
      {std::string("\x00\x01\x02", 3), "Malformed datagram: 3 bytes, shorter than its 20-byte header."},
      {header + "hostname \"a\"\n", "no NUL"},
      {header + "hostname a\n" + nul, "no usable double quote"},
      {header + "port \"1\"\n\"hostname\"\n" + nul, "line 2"},
      {header + many_variables + "v101 \"x\"\n" + nul, "more than 100 server variable lines"}};
  for (const auto& [bytes, words] : cases) {
    auto r = Pass(Bytes(bytes));
    ASSERT_TRUE(r.threw);
    EXPECT_EQ(r.error_number, tallycore::kErrMalformedDatagram);
    EXPECT_NE(r.error.find(words), std::string::npos) << r.error;
    EXPECT_EQ(One("SELECT Log_Data FROM Logs ORDER BY Record DESC"), bytes);
    EXPECT_EQ(textfile::ReadLines(LogPath())->back().find("COMPLETED"), std::string::npos);
  }
  EXPECT_EQ(Count("Servers"), 0);
  EXPECT_FALSE(Pass(Bytes(header + many_variables + nul)).threw);
  EXPECT_EQ(Count("Servers_Cvars"), 100);
}

TEST_P(ScoringFaults, AMissingVariableIsReportedAndThePassCompletes) {
  auto d = Alpha({Keyword("GameStart")});
  d.server_vars[2].first = "Port";   // letter case counts
  Stored(d);
  auto shown = boxes_->shown();
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0].title, "Error: Can not locate Application Path");
  EXPECT_EQ(shown[0].buttons, msgbox::vbOKOnly);
  EXPECT_EQ(shown[0].text,
            "Log from IP Address 10.0.0.5 does not contain port cvar.  Can't score game.\r\n"
            "Contact Server and ask admin to add port to server variables sent with the "
            "log...it that doesn't work then email " +
                std::string(tallycore::kSupportAddress) + "\r\nProgram is terminating.");
  EXPECT_EQ(Count("Logs"), 1);
  EXPECT_EQ(Count("Servers") + Count("Games"), 0);
}

TEST_P(ScoringFaults, UnreadableLinesAreSkippedReportedAndTheRestStored) {
  auto d = Alpha({Keyword("PlayerConnect", "Ann", "Red", "1"),            // line 1
                  "no tabs at all",                                        // 2: skipped
                  "",                                                      // 3: empty
                  "Ann\tAnn\tSuicide\tLava\t-1\t3",                        // 4
                  "Ann\tBob\tKill\tRail\t1); Drop Table Players; --\t4",   // 5: skipped
                  Keyword("LogDeathFlags", "3 or 1=1"),                    // 6: skipped
                  Keyword("LogTime", "25:99:00"),                          // 7: skipped
                  "Bob\tAnn\tKill\tRail\t99999999999\t5",                  // 8: no Integer
                  "Bob\tAnn\tKill\tRail\t1\t1e999",                        // 9: no Single
                  Keyword("GameEnd", "", "", "1e12"),                      // 10: no date
                  "Bob\tAnn\tKill\tRail\t1\r\t6\r"});                      // 11: CR is a blank
  d.player_var_lines = {"skin \"early\"",    // line 12, led by the section's NUL: no player yet
                        "netname \"Ann\"",   // 13
                        "broken",            // 14: skipped
                        "model \"sarge\""};  // 15
  EXPECT_EQ(Stored(d).outcome.skipped_lines, (std::vector<int32_t>{2, 5, 6, 7, 8, 9, 10, 14}));
  EXPECT_TRUE(boxes_->shown().empty());
  EXPECT_EQ(Table("SELECT Killer, Victim, Score, Offset FROM Scores_0000001 ORDER BY Record"),
            (Lines{"1|0|0|1", "1|1|-1|3", "2|1|1|6"}));
  EXPECT_EQ(Table("SELECT Game_Flags, Game_Start_Date_Time, Game_End_Date_Time FROM Games"),
            (Lines{"0|1899-12-30 00:00:00|1899-12-30 00:00:00"}));
  EXPECT_EQ(Count("Games_Players_Cvars"), 1);
  EXPECT_EQ(Count("Players"), 2);
}

// LogDate takes only a keyword line after it as its time; LogTime on a zero
// start sets the time alone; game ends of a day or more are carried.
TEST_P(ScoringFaults, GameTimesFromLogDateLogTimeAndGameEnd) {
  const struct { std::vector<std::string> records; const char* times; std::vector<int32_t> skipped; } cases[] = {
      {{Keyword("LogTime", "13:45:10")}, "1899-12-30 13:45:10|1899-12-30 00:00:00", {}},
      {{Keyword("LogDate", "12/31/1999"), Score("Ann", "Bob", "Kill", "Rail", "1", "2")},
       "1999-12-31 00:00:00|1899-12-30 00:00:00", {}},
      {{Keyword("LogDate", "1/2/2003 (Thu)"), Keyword("LogTime", "00:00:00")},   // one second past
       "2003-01-02 00:00:01|1899-12-30 00:00:00", {}},
      {{Keyword("LogDate", "3/4/2005"), Keyword("StdLog", "09:00:00"), Keyword("LogTime", "00:00:00")},
       "2005-03-04 00:00:01|1899-12-30 00:00:00", {}},   // the same when the time comes on a line of its own
      {{Keyword("LogDate", "2/3/2004")}, "2004-02-03 00:00:00|1899-12-30 00:00:00", {}},   // the last line
      // No date-time: skipped, nothing else written into the statement.
      {{Keyword("LogDate", "1/1/2000#, StdLog_Ver='x'")}, "2004-02-03 00:00:00|1899-12-30 00:00:00", {1}},
      {{Keyword("LogDate", "12/31/1999"), Keyword("StdLog", "09:00:00"), Keyword("LogTime", "23:00:00"),
        Keyword("GameEnd", "", "", "90000.5")},   // 25 h, the half rounds to even
       "1999-12-31 23:00:00|2000-01-02 00:00:00", {}}};
  uint32_t packet = 0;
  for (const auto& c : cases) {
    EXPECT_EQ(Stored(Alpha(c.records, ++packet)).outcome.skipped_lines, c.skipped) << packet;
    EXPECT_EQ(Table("SELECT Game_Start_Date_Time, Game_End_Date_Time FROM Games"), Lines{c.times}) << packet;
  }
  EXPECT_EQ(Table("SELECT * FROM Scores_0000001"), (Lines{"1|1|2|1|1|1|2"}));
  EXPECT_EQ(One("SELECT StdLog_Ver FROM Games"), "");
}

// A game without a start that ends at offset 0 ends at the zero date, which
// leaves it open: the next record goes on with it, linked to its datagram once.
TEST_P(ScoringFaults, AGameEndedAtTheZeroDateGoesOnLinkedOnceToItsDatagram) {
  Stored(Alpha({Keyword("GameEnd", "", "", "0"), Keyword("PlayerConnect", "Ann", "Red", "1")}));
  EXPECT_EQ(Table("SELECT Log, Game FROM Logs_Games"), (Lines{"1|1"}));
  EXPECT_EQ(Count("Games"), 1);
}

// Another writer holds the database when a pass begins: ten attempts, then
// the prompt, and Yes tries again (No: LedgerTest.ThePassThatCannotBegin...).
TEST_F(ScoringFaultsOnSqlite, ALockAtThePassStartIsWaitedOutAfterThePrompt) {
  Stored(Alpha({Keyword("PlayerConnect", "Ann", "Red", "1")}));
  // The writer adds a player and commits at the first prompt: numbered after it.
  WriteLock writer(db_path_);
  writer.Exec("INSERT INTO Players VALUES (2, 'Intruder', '2001-01-01 00:00:00')");
  for (int answer : {msgbox::vbYes, msgbox::vbYes}) boxes_->Push(answer);
  boxes_->OnShow([&](const std::string&) {
    if (boxes_->shown().size() == 1) writer.Commit();
  });
  Stored(Alpha({Score("Zed", "Ann", "Kill", "Rail", "1", "5")}, 2));
  auto shown = boxes_->shown();
  ASSERT_EQ(shown.size(), 2u);
  for (const auto& box : shown) {
    EXPECT_EQ(box.title, "Record is Locked");
    EXPECT_EQ(box.text.rfind("Database is temporarily locked by another process.\r\n", 0), 0u);
  }
  EXPECT_EQ(Table("SELECT Record, Player FROM Players ORDER BY Record"), (Lines{"1|Ann", "2|Intruder", "3|Zed"}));
  EXPECT_EQ(Table("SELECT * FROM Scores_0000001 ORDER BY Record"), (Lines{"1|1|0|1|0|0|1", "2|3|1|2|1|1|5"}));
  EXPECT_EQ(Count("Logs"), 2);
  EXPECT_EQ(One("SELECT Packet_Number FROM Servers"), "2");
}

TEST_F(ScoringFaultsOnSqlite, ADuplicateKeyInsideThePassIsUndoneAloneAndTheNextNumberTaken) {
  Stored(Alpha({Keyword("PlayerConnect", "Ann", "Red", "1")}));
  // An intruder takes number 2 first: the savepoint goes (the intruder with it), then number 3.
  Exec("CREATE TRIGGER Intruder BEFORE INSERT ON Players WHEN NEW.Record = 2 BEGIN "
       "INSERT INTO Players VALUES (2, 'Intruder', '2001-01-01 00:00:00'); END");
  Stored(Alpha({Score("Zed", "Ann", "Kill", "Rail", "1", "5")}, 2));
  EXPECT_TRUE(boxes_->shown().empty());
  EXPECT_EQ(Table("SELECT Record, Player FROM Players ORDER BY Record"), (Lines{"1|Ann", "3|Zed"}));
  EXPECT_EQ(Table("SELECT * FROM Scores_0000001 ORDER BY Record"), (Lines{"1|1|0|1|0|0|1", "2|3|1|2|1|1|5"}));
}

// No to a refused archive row, to a name or to a map too long for its
// column: the new game links log 0, the score names player 0 and the game
// map 0, not an earlier row's number nor the next one's.
TEST_F(ScoringFaultsOnSqlite, NoAtTheArchiveANameOrAMapLeavesZero) {
  Stored(Alpha({Keyword("PlayerConnect", "Ann", "Red", "1"), Keyword("GameEnd", "", "", "5")}));
  Exec("CREATE TRIGGER NoLog BEFORE INSERT ON Logs WHEN NEW.Record = 2 BEGIN "
       "SELECT RAISE(ABORT, 'refused'); END");
  for (int i = 0; i < 3; ++i) boxes_->Push(msgbox::vbNo);
  Stored(Alpha({Score(std::string(51, 'x'), "Ann", "Kill", "Rail", "1", "7"), Keyword("Map", std::string(129, 'm')),
                Keyword("Map", "q2dm1")}, 2));
  auto shown = boxes_->shown();
  ASSERT_EQ(shown.size(), 3u);
  for (const auto& box : shown) EXPECT_EQ(box.text.rfind("An error occured", 0), 0u);
  EXPECT_EQ(Count("Logs"), 1);
  EXPECT_EQ(Table("SELECT * FROM Logs_Games ORDER BY Record"), (Lines{"1|1|1", "2|0|2"}));
  EXPECT_EQ(Table("SELECT Killer, Victim, Score FROM Scores_0000002"), (Lines{"0|1|1"}));
  EXPECT_EQ(Table("SELECT Player FROM Players"), (Lines{"Ann"}));
  EXPECT_EQ(Table("SELECT Record, Map FROM Maps"), (Lines{"1|q2dm1"}));
  EXPECT_EQ(Table("SELECT Game, Map FROM Games_Maps ORDER BY Record"), (Lines{"2|0", "2|1"}));
}

TEST_P(ScoringFaults, CancelStopsThePassWithNothingMoreStored) {
  auto d = Alpha({Keyword("PlayerConnect", "Ann", "Red", "1"),
                  Score(std::string(51, 'x'), "Ann", "Kill", "Rail", "1", "5"),   // too long a name
                  Score("Bob", "Ann", "Kill", "Rail", "1", "6")});
  d.player_var_lines = {"netname \"Ann\"", "model \"sarge\""};
  boxes_->Push(msgbox::vbCancel);
  auto r = Pass(d);
  ASSERT_FALSE(r.threw) << r.error;
  EXPECT_TRUE(r.outcome.stopped);
  EXPECT_FALSE(r.outcome.completed);
  ASSERT_EQ(boxes_->shown().size(), 1u);
  EXPECT_NE(boxes_->shown()[0].text.find("An error occured"), std::string::npos);
  EXPECT_NO_THROW(LockDatabase());   // at once: the stopped statement's transaction is gone
  EXPECT_EQ(Table("SELECT Player FROM Players"), (Lines{"Ann"}));
  EXPECT_EQ(Count("Scores_0000001"), 1);
  EXPECT_EQ(Count("Weapons") + Count("Games_Players_Cvars"), 0);

  // The next pass numbers itself on and finds the game still open.
  Stored(Alpha({Score("Bob", "Ann", "Kill", "Rail", "1", "6")}, 2));
  EXPECT_EQ(Count("Games"), 1);
  EXPECT_EQ(Count("Scores_0000001"), 2);
  EXPECT_EQ(LogLines().size(), 3u);   // no COMPLETED line for the stopped pass
}

// Another program takes the database back to an older state (a backup put
// back): what the passes remember of players and score rows gives way; with
// the running game gone, the next score rows start a game of their own.
TEST_P(ScoringFaults, WhatThePassesRememberGivesWayToAnotherProgramsChanges) {
  auto d = Alpha({Score("Zed", "Ann", "Kill", "Rail", "1", "5")});
  Stored(d);
  Exec("DELETE FROM Players; DELETE FROM Scores_0000001;"
       "INSERT INTO Players VALUES (1, 'Other', '2001-01-01 00:00:00')");
  d.packet_number = 2;
  Stored(d);
  EXPECT_EQ(Table("SELECT Record, Player FROM Players ORDER BY Record"), (Lines{"1|Other", "2|Zed", "3|Ann"}));
  EXPECT_EQ(Table("SELECT Record, Killer, Victim FROM Scores_0000001"), (Lines{"1|2|3"}));
  d.packet_number = 3;   // nobody else in between: on as before
  Stored(d);
  EXPECT_EQ(Count("Players"), 3);
  EXPECT_EQ(Table("SELECT Record, Killer, Victim FROM Scores_0000001 ORDER BY Record"), (Lines{"1|2|3", "2|2|3"}));

  Exec("DELETE FROM Logs_Games; DELETE FROM Servers_Games; DELETE FROM Games_Cvars; DELETE FROM Games;"
       "DROP TABLE Scores_0000001");
  Stored(Alpha({Score("Bob", "Ann", "Kill", "Rail", "1", "6")}, 4));
  EXPECT_TRUE(boxes_->shown().empty());
  EXPECT_EQ(Table("SELECT Record FROM Games"), Lines{"1"});
  EXPECT_EQ(Table("SELECT Server, Game FROM Servers_Games"), Lines{"1|1"});
  EXPECT_EQ(Table("SELECT Score, Offset FROM Scores_0000001"), Lines{"1|6"});   // its one row
}

// A unique key besides Record keeps every number duplicate; a largest Record
// at the top of the 32-bit range leaves no number.
TEST_P(ScoringFaults, NewRowNumberingEndsWithAClearFailureInsteadOfLooping) {
  Exec(OnPostgres() ? "CREATE UNIQUE INDEX OneWeapon ON Weapons ((Date_Time IS NOT NULL))"
                    : "CREATE UNIQUE INDEX OneWeapon ON Weapons (Date_Time IS NOT NULL)");
  Exec("INSERT INTO Weapons VALUES (1, 'Rail', '2001-01-01 00:00:00')");
  auto r = Pass(Alpha({Score("Ann", "Bob", "Kill", "Lava", "1", "5")}));
  ASSERT_TRUE(r.threw);
  EXPECT_NE(r.error.find("A new row of Weapons met a duplicate key 1000 times"), std::string::npos) << r.error;
  EXPECT_EQ(One("SELECT max(Record) FROM Weapons"), "1");

  Exec("INSERT INTO Types VALUES (2147483647, 'Last', '2001-01-01 00:00:00')");
  r = Pass(Alpha({Score("Ann", "Bob", "Suicide", "Rail", "1", "5")}));
  ASSERT_TRUE(r.threw);
  EXPECT_EQ(r.error_number, tallycore::kErrOverflow);
  EXPECT_NE(r.error.find("Types has no record number left"), std::string::npos) << r.error;
}

}  // namespace
}  // namespace enginetest
