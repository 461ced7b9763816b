// tallyfeed as a user runs it: the process numbering continued across runs,
// and its exit status and messages when not everything was stored (a
// statement ignored at a prompt, a database locked past the budget, a
// database that is missing) or its arguments are wrong.
#include <gtest/gtest.h>

#include "process_kit.h"
#include "test_env.h"

namespace datapath {
namespace {

class TallyfeedStatus : public ::testing::Test {
 protected:
  void SetUp() override {
    db_ = tmp_.File("feed.db");
    CreateDatabase(db_);
    datagram::Builder b;
    b.server_vars = {{"hostname", "Status"}, {"$HOST_IP$", "198.51.100.9"}, {"port", "27960"}};
    b.packet_number = 1;
    b.records = {"\t\tGameStart", "\t\tPlayerConnect\tAnn\tRed\t1",
                 std::string(51, 'x') + "\tAnn\tKill\tRail\t1\t5",   // a name longer than the column
                 "Bob\tAnn\tKill\tRail\t1\t6"};
    file_ = WriteDatagrams(tmp_.File("in"), "d", {b.Build()})[0];
  }
  // tallyfeed with `options`, storing the datagram file `copies` times.
  int Feed(const std::string& cs, const std::vector<std::string>& options = {}, size_t copies = 1) {
    const std::string out = tmp_.File("out" + std::to_string(++runs_) + ".txt");
    const int status =
        datapath::Feed(tmp_.File("Process.log"), cs, std::vector<std::string>(copies, file_), out, options);
    output_ = testkit::ReadFile(out);
    return status;
  }
  testkit::TempDir tmp_;
  std::string db_, file_, output_;
  int runs_ = 0;
};

TEST_F(TallyfeedStatus, AStatementAnsweredNoIsNamedAndTheExitStatusIsOne) {
  EXPECT_EQ(Feed(SqliteCs(db_)), 1) << output_;
  // The prompt (an error other than a lock) was answered No: that statement
  // alone is left out, named with the file.
  EXPECT_THAT(output_, AllOf(HasSubstr(file_ + " (process 1): a statement was ignored at a prompt: "),
                             HasSubstr(std::string(51, 'x')), Not(HasSubstr(": completed"))));
  EXPECT_EQ(CountOf(db_, "SELECT count(*) FROM Logs"), 1);
  EXPECT_EQ(CountOf(db_, "SELECT count(*) FROM Players WHERE Player IN ('Ann', 'Bob')"), 2);
  EXPECT_EQ(CountOf(db_, "SELECT count(*) FROM Players WHERE length(Player) > 50"), 0);
}

TEST_F(TallyfeedStatus, ALineThatCannotBeReadIsNamedAndTheExitStatusIsOne) {
  datagram::Builder b;
  b.server_vars = {{"hostname", "Status"}, {"$HOST_IP$", "198.51.100.9"}, {"port", "27960"}};
  b.records = {"\t\tGameStart", "Bob\tAnn\tKill\tRail\t1\t1,5", "Bob\tAnn\tKill\tRail\t1\t6"};
  file_ = WriteDatagrams(tmp_.File("odd"), "d", {b.Build()})[0];
  EXPECT_EQ(Feed(SqliteCs(db_)), 1) << output_;
  EXPECT_THAT(output_, HasSubstr(file_ + " (process 1): skipped 1 unreadable line(s): 2"));
  EXPECT_EQ(CountOf(db_, "SELECT count(*) FROM Scores_0000001"), 1);   // the rest is stored
}

TEST_F(TallyfeedStatus, ALockPastTheBudgetOrAMissingDatabaseStoresNothingAndSaysSo) {
  auto nothing_stored = [&](int process) {   // the runs share a process log: the second is process 2
    return AllOf(HasSubstr(file_ + " (process " + std::to_string(process) + "): Error # "),
                 HasSubstr("(nothing of it was stored)"));
  };
  {
    testkit::WriteLock lock(db_);
    EXPECT_EQ(Feed(SqliteCs(db_, ";Busy Timeout=100"), {"--lock-budget", "0"}), 1) << output_;
  }
  EXPECT_THAT(output_, nothing_stored(1));
  EXPECT_EQ(CountOf(db_, "SELECT count(*) FROM Logs"), 0);
  EXPECT_EQ(CountOf(db_, "SELECT count(*) FROM Players"), 0);
  const std::string missing = tmp_.File("missing.db");
  EXPECT_EQ(Feed(SqliteCs(missing)), 1) << output_;
  EXPECT_THAT(output_, nothing_stored(2));
  EXPECT_FALSE(testkit::Exists(missing));
}

TEST_F(TallyfeedStatus, NumberingContinuesAcrossRunsAndBadArgumentsGetAMessage) {
  datagram::Builder b;
  b.server_vars = {{"hostname", "H"}, {"$HOST_IP$", "198.51.100.9"}, {"port", "27960"}};
  file_ = WriteDatagrams(tmp_.File("ok"), "d", {b.Build()})[0];
  const std::string fresh = tmp_.File("fresh.db");
  testkit::Touch(fresh);
  ASSERT_EQ(Feed(SqliteCs(fresh), {"--create-tables"}), 0) << output_;
  ASSERT_EQ(Feed(SqliteCs(fresh), {"--from", "10.9.8.7:1234", "--listen-port", "29000"}, 2), 0) << output_;
  const std::string log = testkit::ReadFile(tmp_.File("Process.log"));
  size_t lines = 0;
  for (size_t at = log.find("\r\n"); at != std::string::npos; at = log.find("\r\n", at + 2)) ++lines;
  EXPECT_EQ(lines, 6u) << log;
  const size_t third = log.find("\r\nProcess# 3 STARTED ");
  ASSERT_NE(third, std::string::npos) << log;
  EXPECT_LT(log.find(";ListenPort=29000;ConnectedIPAddress=10.9.8.7;ConnectedPort=1234;", third),
            log.find("\r\n", third + 2));

  file_ = tmp_.File("nope.bin");
  EXPECT_EQ(Feed(SqliteCs(db_)), 1);
  EXPECT_THAT(output_, HasSubstr("nope.bin: cannot be read"));
  file_ = tmp_.path();   // a folder: no datagram, named as unreadable
  EXPECT_EQ(Feed(SqliteCs(db_)), 1);
  EXPECT_THAT(output_, HasSubstr(tmp_.path() + ": cannot be read"));
  EXPECT_EQ(Feed(SqliteCs(db_), {"--bogus"}), 2);
  EXPECT_THAT(output_, HasSubstr("usage: tallyfeed"));
}

}  // namespace
}  // namespace datapath
