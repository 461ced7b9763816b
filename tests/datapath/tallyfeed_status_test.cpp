// tallyfeed's exit status and messages when not everything was stored: a
// statement ignored at a prompt, a database locked past the budget, a
// database that is missing.
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
  int Feed(const std::string& cs, const std::vector<std::string>& options = {}) {
    std::vector<std::string> argv = {Bin("tallyfeed"), "--log-path", tmp_.File("Process.log")};
    argv.insert(argv.end(), options.begin(), options.end());
    argv.push_back(cs);
    argv.push_back(file_);
    const std::string out = tmp_.File("out" + std::to_string(++runs_) + ".txt");
    int status = Child(argv, out).Wait();
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
  EXPECT_NE(output_.find(file_ + " (process 1): a statement was ignored at a prompt: "), std::string::npos)
      << output_;
  EXPECT_NE(output_.find(std::string(51, 'x')), std::string::npos) << output_;
  EXPECT_EQ(output_.find(": completed"), std::string::npos) << output_;
  EXPECT_EQ(CountOf(db_, "SELECT count(*) FROM Logs"), 1);
  EXPECT_EQ(CountOf(db_, "SELECT count(*) FROM Players WHERE Player IN ('Ann', 'Bob')"), 2);
  EXPECT_EQ(CountOf(db_, "SELECT count(*) FROM Players WHERE length(Player) > 50"), 0);
}

TEST_F(TallyfeedStatus, ALockPastTheBudgetStoresNothingAndSaysSo) {
  {
    testkit::WriteLock lock(db_);
    EXPECT_EQ(Feed(SqliteCs(db_, ";Busy Timeout=100"), {"--lock-budget", "0"}), 1) << output_;
  }
  EXPECT_NE(output_.find(file_ + " (process 1): Error # "), std::string::npos) << output_;
  EXPECT_NE(output_.find("(nothing of it was stored)"), std::string::npos) << output_;
  EXPECT_EQ(CountOf(db_, "SELECT count(*) FROM Logs"), 0);
  EXPECT_EQ(CountOf(db_, "SELECT count(*) FROM Players"), 0);
}

TEST_F(TallyfeedStatus, AMissingDatabaseStoresNothingAndSaysSo) {
  const std::string missing = tmp_.File("missing.db");
  EXPECT_EQ(Feed(SqliteCs(missing)), 1) << output_;
  EXPECT_NE(output_.find(file_ + " (process 1): Error # "), std::string::npos) << output_;
  EXPECT_NE(output_.find("(nothing of it was stored)"), std::string::npos) << output_;
  EXPECT_FALSE(testkit::Exists(missing));
}

}  // namespace
}  // namespace datapath
