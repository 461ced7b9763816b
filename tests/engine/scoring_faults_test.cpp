// Bad input from game servers, end to end: malformed datagrams end the pass
// with a clear failure after their Logs row is stored; unreadable lines are
// skipped and reported while every other line is stored; game times that
// used to fail the pass are stored.
#include <gtest/gtest.h>

#include <memory>

#include "scoring.h"
#include "scoring_support.h"
#include "test_env.h"

namespace {

using scoringtest::Keyword;
using scoringtest::Score;
using Rows = std::vector<std::string>;

class ScoringFaults : public ::testing::Test {
 protected:
  void SetUp() override {
    boxes_ = std::make_shared<msgbox::ScriptedMessageBoxes>();
    msgbox::Install(boxes_);
    db_ = std::make_unique<scoringtest::ScoringDb>(dir_.path());
    listener_ = std::make_unique<scoringtest::Listener>(dir_.File("Process.log"));
  }
  void TearDown() override { msgbox::Install(nullptr); }

  scoringtest::PassResult SendBytes(const std::string& bytes) {
    return listener_->Send(db_->connection_string(),
                           std::vector<uint8_t>(bytes.begin(), bytes.end()));
  }
  scoringtest::PassResult Send(const datagram::Builder& b) {
    return listener_->Send(db_->connection_string(), b.Build());
  }
  datagram::Builder Alpha() { return scoringtest::ServerLog("Alpha", "192.0.2.1", "27960", 1); }

  // The pass failed with a malformed-datagram failure after storing the
  // datagram whole, and wrote no COMPLETED line.
  void ExpectMalformed(const std::string& bytes, const std::string& words) {
    auto r = SendBytes(bytes);
    ASSERT_TRUE(r.threw);
    EXPECT_EQ(r.error_number, tallycore::kErrMalformedDatagram);
    EXPECT_NE(r.error.find(words), std::string::npos) << r.error;
    EXPECT_FALSE(r.outcome.completed);
    auto stored = db_->Blob("SELECT Log_Data FROM Logs ORDER BY Record DESC");
    EXPECT_EQ(std::string(stored.begin(), stored.end()), bytes);
    EXPECT_EQ(db_->Count("Servers"), 0);
    auto log = scoringtest::LogLines(listener_->log_path());
    EXPECT_EQ(log.back().find("COMPLETED"), std::string::npos);
  }

  testkit::TempDir dir_;
  std::shared_ptr<msgbox::ScriptedMessageBoxes> boxes_;
  std::unique_ptr<scoringtest::ScoringDb> db_;
  std::unique_ptr<scoringtest::Listener> listener_;
};

TEST_F(ScoringFaults, MalformedDatagramsFailClearlyAfterTheirLogsRow) {
  const std::string header(20, '\x01');
  ExpectMalformed(std::string("\x00\x01\x02", 3), "shorter than its 20-byte header");
  ExpectMalformed(header, "no NUL");
  ExpectMalformed(header + "hostname \"a\"\n", "no NUL");
  ExpectMalformed(header + "hostname a\n" + std::string(1, '\0'), "no usable double quote");
  ExpectMalformed(header + "\"hostname\"\n" + std::string(1, '\0'), "no usable double quote");
  ExpectMalformed(header + "port \"1\"\nhostname \"\n" + std::string(1, '\0'), "line 2");
  EXPECT_EQ(db_->Count("Logs"), 6);
}

TEST_F(ScoringFaults, AMissingVariableIsReportedAndThePassCompletes) {
  auto d = Alpha();
  d.server_vars[2].first = "Port";   // letter case counts
  d.records = {Keyword("GameStart")};
  auto r = Send(d);
  ASSERT_FALSE(r.threw) << r.error;
  EXPECT_TRUE(r.outcome.completed);
  auto shown = boxes_->shown();
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0].title, "Error: Can not locate Application Path");
  EXPECT_EQ(shown[0].buttons, msgbox::vbOKOnly);
  EXPECT_EQ(shown[0].text,
            "Log from IP Address 127.0.0.1 does not contain port cvar.  Can't score game.\r\n"
            "Contact Server and ask admin to add port to server variables sent with the "
            "log...it that doesn't work then email " +
                std::string(tallycore::kSupportAddress) + "\r\nProgram is terminating.");
  EXPECT_EQ(db_->Count("Logs"), 1);
  EXPECT_EQ(db_->Count("Servers"), 0);
  EXPECT_EQ(db_->Count("Games"), 0);
}

TEST_F(ScoringFaults, UnreadableLinesAreSkippedReportedAndTheRestStored) {
  auto d = Alpha();
  d.records = {Keyword("PlayerConnect", "Ann", "Red", "1"),            // line 1
               "no tabs at all",                                        // 2: skipped
               "",                                                      // 3: empty
               "Ann\tAnn\tSuicide\tLava\t-1\t3",                        // 4
               "Ann\tBob\tKill\tRail\t1); Drop Table Players; --\t4",   // 5: skipped
               Keyword("LogDeathFlags", "3 or 1=1"),                    // 6: skipped
               Keyword("LogTime", "25:99:00"),                          // 7: skipped
               "Bob\tAnn\tKill\tRail\t1\t5"};                           // 8
  d.player_var_lines = {"netname \"Ann\"",   // line 9, led by the section's NUL
                        "broken",            // 10: skipped
                        "model \"sarge\""};  // 11
  auto r = Send(d);
  ASSERT_FALSE(r.threw) << r.error;
  EXPECT_TRUE(r.outcome.completed);
  EXPECT_EQ(r.outcome.skipped_lines, (std::vector<int32_t>{2, 5, 6, 7, 10}));
  EXPECT_TRUE(boxes_->shown().empty());
  EXPECT_EQ(db_->Rows("SELECT Killer, Victim, Score, Offset FROM Scores_0000001 ORDER BY Record"),
            (Rows{"1|0|0|1", "1|1|-1|3", "2|1|1|5"}));
  EXPECT_EQ(db_->Rows("SELECT Game_Flags, Game_Start_Date_Time FROM Games"),
            (Rows{"0|1899-12-30 00:00:00"}));
  EXPECT_EQ(db_->Count("Games_Players_Cvars"), 1);
  EXPECT_EQ(db_->Count("Players"), 2);
}

TEST_F(ScoringFaults, LogDateTakesOnlyAKeywordLineAsItsTime) {
  auto d = Alpha();
  d.records = {Keyword("LogDate", "12/31/1999"), Score("Ann", "Bob", "Kill", "Rail", "1", "2")};
  ASSERT_FALSE(Send(d).threw);
  EXPECT_EQ(db_->One("SELECT Game_Start_Date_Time FROM Games"), "1999-12-31 00:00:00");
  EXPECT_EQ(db_->Rows("SELECT * FROM Scores_0000001"), (Rows{"1|1|2|1|1|1|2"}));

  d.packet_number = 2;   // a keyword line carries the time; "00:00:00" means one second past
  d.records = {Keyword("LogDate", "1/2/2003 (Thu)"), Keyword("LogTime", "00:00:00")};
  ASSERT_FALSE(Send(d).threw);
  EXPECT_EQ(db_->One("SELECT Game_Start_Date_Time FROM Games"), "2003-01-02 00:00:01");

  d.packet_number = 3;   // the last line of the datagram: midnight
  d.records = {Keyword("LogDate", "2/3/2004")};
  ASSERT_FALSE(Send(d).threw);
  EXPECT_EQ(db_->One("SELECT Game_Start_Date_Time FROM Games"), "2004-02-03 00:00:00");
  EXPECT_EQ(db_->Count("Games"), 1);
}

TEST_F(ScoringFaults, LogTimeOnAGameWithoutAStartTakesTheTimeAlone) {
  auto d = Alpha();
  d.records = {Keyword("LogTime", "13:45:10")};
  auto r = Send(d);
  ASSERT_FALSE(r.threw) << r.error;
  EXPECT_TRUE(r.outcome.completed);
  EXPECT_EQ(db_->One("SELECT Game_Start_Date_Time FROM Games"), "1899-12-30 13:45:10");

  d.packet_number = 2;   // with a date, the date stays and the time changes
  d.records = {Keyword("LogDate", "12/31/1999"), Keyword("StdLog", "09:00:00"),
               Keyword("LogTime", "10:00:00")};
  ASSERT_FALSE(Send(d).threw);
  EXPECT_EQ(db_->One("SELECT Game_Start_Date_Time FROM Games"), "1999-12-31 10:00:00");
}

TEST_F(ScoringFaults, GameEndAddsOffsetsOfADayOrMoreAsADuration) {
  auto d = Alpha();
  d.records = {Keyword("LogDate", "12/31/1999"), Keyword("LogTime", "23:00:00"),
               Keyword("GameEnd", "", "", "90000.5")};   // 25 h, the half rounds to even
  auto r = Send(d);
  ASSERT_FALSE(r.threw) << r.error;
  EXPECT_TRUE(r.outcome.completed);
  EXPECT_EQ(db_->One("SELECT Game_End_Date_Time FROM Games"), "2000-01-02 00:00:00");
}

}  // namespace
