// Bad input from game servers and trouble with the database, end to end:
// malformed datagrams fail clearly after their Logs row is stored;
// unreadable lines are skipped and reported while every other line is
// stored; game times that used to fail the pass are stored; locks, duplicate
// keys and Cancel during scoring, with a second connection as the other
// writer.
#include "engine_fixture.h"
#include "scoring.h"
#include "textfile.h"

namespace enginetest {
namespace {

using Lines = std::vector<std::string>;
using ScoringFaults = OnEachBackend<EngineTest>;
using ScoringFaultsOnSqlite = EngineTest;   // SQLite's lock at BEGIN IMMEDIATE, its triggers
INSTANTIATE_ON_EACH_BACKEND(ScoringFaults);

TEST_P(ScoringFaults, MalformedDatagramsFailClearlyAfterTheirLogsRow) {
  const std::string header(20, '\x01'), nul(1, '\0');
  // 100 variables, empty lines among them, are the most a datagram may hold.
  std::string many_variables = "hostname \"h\"\n$HOST_IP$ \"1.2.3.4\"\nport \"1\"\n\n";
  for (int v = 4; v <= 100; ++v) many_variables += "v" + std::to_string(v) + " \"x\"\n\n";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {std::string("\x00\x01\x02", 3), "shorter than its 20-byte header"},
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
  auto full = Pass(Bytes(header + many_variables + nul));
  EXPECT_FALSE(full.threw) << full.error;
  EXPECT_EQ(Count("Servers_Cvars"), 100);
}

TEST_P(ScoringFaults, AMissingVariableIsReportedAndThePassCompletes) {
  auto d = ServerLog("Alpha");
  d.server_vars[2].first = "Port";   // letter case counts
  d.records = {Keyword("GameStart")};
  auto r = Pass(d);
  ASSERT_FALSE(r.threw) << r.error;
  EXPECT_TRUE(r.outcome.completed);
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
  auto d = ServerLog("Alpha");
  d.records = {Keyword("PlayerConnect", "Ann", "Red", "1"),            // line 1
               "no tabs at all",                                        // 2: skipped
               "",                                                      // 3: empty
               "Ann\tAnn\tSuicide\tLava\t-1\t3",                        // 4
               "Ann\tBob\tKill\tRail\t1); Drop Table Players; --\t4",   // 5: skipped
               Keyword("LogDeathFlags", "3 or 1=1"),                    // 6: skipped
               Keyword("LogTime", "25:99:00"),                          // 7: skipped
               "Bob\tAnn\tKill\tRail\t99999999999\t5",                  // 8: no Integer
               "Bob\tAnn\tKill\tRail\t1\t1e999",                        // 9: no Single
               Keyword("GameEnd", "", "", "1e12"),                      // 10: no date
               "Bob\tAnn\tKill\tRail\t1\r\t6\r"};                       // 11: CR is a blank
  d.player_var_lines = {"skin \"early\"",    // line 12, led by the section's NUL: no player yet
                        "netname \"Ann\"",   // 13
                        "broken",            // 14: skipped
                        "model \"sarge\""};  // 15
  auto r = Pass(d);
  ASSERT_FALSE(r.threw) << r.error;
  EXPECT_TRUE(r.outcome.completed);
  EXPECT_EQ(r.outcome.skipped_lines, (std::vector<int32_t>{2, 5, 6, 7, 8, 9, 10, 14}));
  EXPECT_TRUE(boxes_->shown().empty());
  EXPECT_EQ(Table("SELECT Killer, Victim, Score, Offset FROM Scores_0000001 ORDER BY Record"),
            (Lines{"1|0|0|1", "1|1|-1|3", "2|1|1|6"}));
  EXPECT_EQ(Table("SELECT Game_Flags, Game_Start_Date_Time, Game_End_Date_Time FROM Games"),
            (Lines{"0|1899-12-30 00:00:00|1899-12-30 00:00:00"}));
  EXPECT_EQ(Count("Games_Players_Cvars"), 1);
  EXPECT_EQ(Count("Players"), 2);
}

TEST_P(ScoringFaults, LogDateTakesOnlyAKeywordLineAsItsTime) {
  auto d = ServerLog("Alpha");
  d.records = {Keyword("LogDate", "12/31/1999"), Score("Ann", "Bob", "Kill", "Rail", "1", "2")};
  ASSERT_FALSE(Pass(d).threw);
  EXPECT_EQ(One("SELECT Game_Start_Date_Time FROM Games"), "1999-12-31 00:00:00");
  EXPECT_EQ(Table("SELECT * FROM Scores_0000001"), (Lines{"1|1|2|1|1|1|2"}));

  d.packet_number = 2;   // a keyword line carries the time; "00:00:00" means one second past
  d.records = {Keyword("LogDate", "1/2/2003 (Thu)"), Keyword("LogTime", "00:00:00")};
  ASSERT_FALSE(Pass(d).threw);
  EXPECT_EQ(One("SELECT Game_Start_Date_Time FROM Games"), "2003-01-02 00:00:01");

  d.packet_number = 3;   // the last line of the datagram: midnight
  d.records = {Keyword("LogDate", "2/3/2004")};
  auto r = Pass(d);
  EXPECT_TRUE(r.outcome.completed) << r.error;
  EXPECT_TRUE(r.outcome.skipped_lines.empty());
  EXPECT_EQ(One("SELECT Game_Start_Date_Time FROM Games"), "2004-02-03 00:00:00");

  d.packet_number = 4;   // no date-time: skipped, nothing else written into the statement
  d.records = {Keyword("LogDate", "1/1/2000#, StdLog_Ver='x'")};
  r = Pass(d);
  EXPECT_EQ(r.outcome.skipped_lines, (std::vector<int32_t>{1}));
  EXPECT_EQ(Table("SELECT StdLog_Ver, Game_Start_Date_Time FROM Games"),
            (Lines{"|2004-02-03 00:00:00"}));
}

TEST_P(ScoringFaults, LogTimeOnAZeroStartAndGameEndsOfADayOrMoreAreStored) {
  auto d = ServerLog("Alpha");
  d.records = {Keyword("LogTime", "13:45:10")};   // no start yet: the time alone
  auto r = Pass(d);
  ASSERT_FALSE(r.threw) << r.error;
  EXPECT_TRUE(r.outcome.completed);
  EXPECT_EQ(One("SELECT Game_Start_Date_Time FROM Games"), "1899-12-30 13:45:10");

  d.packet_number = 2;   // with a date, the date stays and the time changes
  d.records = {Keyword("LogDate", "12/31/1999"), Keyword("StdLog", "09:00:00"),
               Keyword("LogTime", "23:00:00"),
               Keyword("GameEnd", "", "", "90000.5")};   // 25 h, the half rounds to even
  r = Pass(d);
  ASSERT_FALSE(r.threw) << r.error;
  EXPECT_TRUE(r.outcome.completed);
  EXPECT_EQ(Table("SELECT Game_Start_Date_Time, Game_End_Date_Time FROM Games"),
            (Lines{"1999-12-31 23:00:00|2000-01-02 00:00:00"}));
}

TEST_F(ScoringFaultsOnSqlite, ALockAtThePassStartIsWaitedOutOrLeavesTheDatagramWhole) {
  auto d = ServerLog("Alpha");
  d.records = {Keyword("PlayerConnect", "Ann", "Red", "1")};
  ASSERT_FALSE(Pass(d).threw);

  // Another writer holds the database and adds a player. The pass meets the
  // lock when it begins: ten attempts, then the prompt. Yes tries again; at
  // the second prompt the writer commits, and the pass numbers its new
  // player after the writer's.
  auto writer = std::make_unique<WriteLock>(db_path_);
  writer->Exec("INSERT INTO Players VALUES (2, 'Intruder', '2001-01-01 00:00:00')");
  for (int answer : {msgbox::vbYes, msgbox::vbYes}) boxes_->Push(answer);
  boxes_->OnShow([&](const std::string&) {
    if (boxes_->shown().size() == 1) writer->Commit();
  });
  d.packet_number = 2;
  d.records = {Score("Zed", "Ann", "Kill", "Rail", "1", "5")};
  auto r = Pass(d);
  ASSERT_FALSE(r.threw) << r.error;
  EXPECT_TRUE(r.outcome.completed);
  auto shown = boxes_->shown();
  ASSERT_EQ(shown.size(), 2u);
  for (const auto& box : shown) {
    EXPECT_EQ(box.title, "Record is Locked");
    EXPECT_EQ(box.text.rfind("Database is temporarily locked by another process.\r\n", 0), 0u);
  }
  EXPECT_EQ(Table("SELECT Record, Player FROM Players ORDER BY Record"),
            (Lines{"1|Ann", "2|Intruder", "3|Zed"}));
  EXPECT_EQ(Table("SELECT * FROM Scores_0000001 ORDER BY Record"),
            (Lines{"1|1|0|1|0|0|1", "2|3|1|2|1|1|5"}));
  EXPECT_EQ(Count("Logs"), 2);
  EXPECT_EQ(One("SELECT Packet_Number FROM Servers"), "2");

  // No at the prompt: the pass cannot begin, nothing of the datagram is
  // stored, and the caller learns that it may hand it over again.
  boxes_->Clear();
  writer = std::make_unique<WriteLock>(db_path_);
  boxes_->Push(msgbox::vbNo);
  d.packet_number = 3;
  d.records = {Score("Kim", "Ann", "Kill", "Rail", "1", "7")};
  r = Pass(d);
  EXPECT_TRUE(r.threw);
  EXPECT_TRUE(r.outcome.deferred);
  EXPECT_FALSE(r.outcome.completed);
  EXPECT_NE(r.error.find("locked"), std::string::npos) << r.error;
  writer.reset();
  EXPECT_EQ(Count("Logs"), 2);
  EXPECT_EQ(Count("Players"), 3);
  // Handed over again, it is stored once.
  r = Pass(d);
  ASSERT_FALSE(r.threw) << r.error;
  EXPECT_EQ(Count("Logs"), 3);
  EXPECT_EQ(Table("SELECT Player FROM Players WHERE Record=4"), (Lines{"Kim"}));
}

TEST_F(ScoringFaultsOnSqlite, ADuplicateKeyInsideThePassIsUndoneAloneAndTheNextNumberTaken) {
  auto d = ServerLog("Alpha");
  d.records = {Keyword("PlayerConnect", "Ann", "Red", "1")};
  ASSERT_FALSE(Pass(d).threw);
  // Whenever a player 2 is inserted, something else takes number 2 first:
  // the insert meets a duplicate key, its savepoint is rolled back (the
  // intruder with it), it is tried once more, then the next number is taken.
  Exec("CREATE TRIGGER Intruder BEFORE INSERT ON Players WHEN NEW.Record = 2 BEGIN "
       "INSERT INTO Players VALUES (2, 'Intruder', '2001-01-01 00:00:00'); END");
  d.packet_number = 2;
  d.records = {Score("Zed", "Ann", "Kill", "Rail", "1", "5")};
  auto r = Pass(d);
  ASSERT_FALSE(r.threw) << r.error;
  EXPECT_TRUE(r.outcome.completed);
  EXPECT_TRUE(boxes_->shown().empty());
  EXPECT_EQ(Table("SELECT Record, Player FROM Players ORDER BY Record"), (Lines{"1|Ann", "3|Zed"}));
  EXPECT_EQ(Table("SELECT * FROM Scores_0000001 ORDER BY Record"),
            (Lines{"1|1|0|1|0|0|1", "2|3|1|2|1|1|5"}));
}

TEST_F(ScoringFaultsOnSqlite, NoAtTheArchiveOrAtANameLeavesZeroNotAnEarlierNumber) {
  auto d = ServerLog("Alpha");
  d.records = {Keyword("PlayerConnect", "Ann", "Red", "1"), Keyword("GameEnd", "", "", "5")};
  ASSERT_FALSE(Pass(d).threw);

  // The archive of the next datagram fails (the database refuses the row)
  // and the user says No: the datagram has no Logs row, and the new game
  // links log 0, not the previous datagram's row. A name too long for its
  // column is answered No: the score row names player 0.
  Exec("CREATE TRIGGER NoLog BEFORE INSERT ON Logs WHEN NEW.Record = 2 BEGIN "
       "SELECT RAISE(ABORT, 'refused'); END");
  boxes_->Push(msgbox::vbNo);
  boxes_->Push(msgbox::vbNo);
  d.packet_number = 2;
  d.records = {Score(std::string(51, 'x'), "Ann", "Kill", "Rail", "1", "7")};
  auto r = Pass(d);
  ASSERT_FALSE(r.threw) << r.error;
  EXPECT_TRUE(r.outcome.completed);
  auto shown = boxes_->shown();
  ASSERT_EQ(shown.size(), 2u);
  EXPECT_EQ(shown[0].text.rfind("An error occured", 0), 0u);
  EXPECT_EQ(shown[1].text.rfind("An error occured", 0), 0u);
  EXPECT_EQ(Count("Logs"), 1);
  EXPECT_EQ(Table("SELECT * FROM Logs_Games ORDER BY Record"), (Lines{"1|1|1", "2|0|2"}));
  EXPECT_EQ(Table("SELECT Killer, Victim, Score FROM Scores_0000002"), (Lines{"0|1|1"}));
  EXPECT_EQ(Table("SELECT Player FROM Players"), (Lines{"Ann"}));
}

TEST_F(ScoringFaultsOnSqlite, NoAtAMapLinksNoMapNotTheNextOnesNumber) {
  auto d = ServerLog("Alpha");
  boxes_->Push(msgbox::vbNo);   // a map name too long for its column
  d.records = {Keyword("GameStart"), Keyword("Map", std::string(129, 'm')), Keyword("Map", "q2dm1")};
  auto r = Pass(d);
  ASSERT_FALSE(r.threw) << r.error;
  EXPECT_EQ(r.outcome.ignored.size(), 1u);
  EXPECT_EQ(Table("SELECT Record, Map FROM Maps"), (Lines{"1|q2dm1"}));
  EXPECT_EQ(Table("SELECT Game, Map FROM Games_Maps ORDER BY Record"), (Lines{"1|0", "1|1"}));
}

TEST_P(ScoringFaults, CancelStopsThePassWithNothingMoreStored) {
  auto d = ServerLog("Alpha");
  d.records = {Keyword("PlayerConnect", "Ann", "Red", "1"),
               Score(std::string(51, 'x'), "Ann", "Kill", "Rail", "1", "5"),   // too long a name
               Score("Bob", "Ann", "Kill", "Rail", "1", "6")};
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
  d.packet_number = 2;
  d.records = {Score("Bob", "Ann", "Kill", "Rail", "1", "6")};
  r = Pass(d);
  ASSERT_FALSE(r.threw) << r.error;
  EXPECT_TRUE(r.outcome.completed);
  EXPECT_EQ(Count("Games"), 1);
  EXPECT_EQ(Count("Scores_0000001"), 2);
  auto log = textfile::ReadLines(LogPath());
  ASSERT_EQ(log->size(), 3u);
  EXPECT_EQ((*log)[0].rfind("Process# 1 STARTED ", 0), 0u);
  EXPECT_EQ((*log)[2].rfind("Process# 2 COMPLETED ", 0), 0u);
}

TEST_P(ScoringFaults, WhatThePassesRememberGivesWayToAnotherProgramsChanges) {
  auto d = ServerLog("Alpha");
  d.records = {Score("Zed", "Ann", "Kill", "Rail", "1", "5")};
  ASSERT_FALSE(Pass(d).threw);
  // Another program takes the database back to an older state (as a
  // restored backup would): the players and the game's score rows go, a
  // player takes number 1 for someone else.
  Exec("DELETE FROM Players; DELETE FROM Scores_0000001;"
       "INSERT INTO Players VALUES (1, 'Other', '2001-01-01 00:00:00')");
  d.packet_number = 2;
  auto r = Pass(d);
  ASSERT_FALSE(r.threw) << r.error;
  EXPECT_EQ(Table("SELECT Record, Player FROM Players ORDER BY Record"),
            (Lines{"1|Other", "2|Zed", "3|Ann"}));
  EXPECT_EQ(Table("SELECT Record, Killer, Victim FROM Scores_0000001"), (Lines{"1|2|3"}));
  // Without another program in between, the next pass goes on as before.
  d.packet_number = 3;
  r = Pass(d);
  ASSERT_FALSE(r.threw) << r.error;
  EXPECT_EQ(Count("Players"), 3);
  EXPECT_EQ(Table("SELECT Record, Killer, Victim FROM Scores_0000001 ORDER BY Record"),
            (Lines{"1|2|3", "2|2|3"}));
}

TEST_P(ScoringFaults, NewRowNumberingEndsWithAClearFailureInsteadOfLooping) {
  // A unique key besides Record keeps every number duplicate; a largest
  // Record at the top of the 32-bit range leaves no number.
  Exec(OnPostgres() ? "CREATE UNIQUE INDEX OneWeapon ON Weapons ((Date_Time IS NOT NULL))"
                    : "CREATE UNIQUE INDEX OneWeapon ON Weapons (Date_Time IS NOT NULL)");
  Exec("INSERT INTO Weapons VALUES (1, 'Rail', '2001-01-01 00:00:00')");
  auto d = ServerLog("Alpha");
  d.records = {Score("Ann", "Bob", "Kill", "Lava", "1", "5")};
  auto r = Pass(d);
  ASSERT_TRUE(r.threw);
  EXPECT_NE(r.error.find("A new row of Weapons met a duplicate key 1000 times"), std::string::npos)
      << r.error;
  EXPECT_EQ(One("SELECT max(Record) FROM Weapons"), "1");

  Exec("INSERT INTO Types VALUES (2147483647, 'Last', '2001-01-01 00:00:00')");
  d.records = {Score("Ann", "Bob", "Suicide", "Rail", "1", "5")};
  r = Pass(d);
  ASSERT_TRUE(r.threw);
  EXPECT_EQ(r.error_number, tallycore::kErrOverflow);
  EXPECT_NE(r.error.find("Types has no record number left"), std::string::npos) << r.error;
}

}  // namespace
}  // namespace enginetest
