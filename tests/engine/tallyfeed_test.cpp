// tallyfeed as a user runs it: separate program runs, exit status, messages.
#include <sys/wait.h>

#include <array>
#include <cstdio>

#include "engine_fixture.h"
#include "textfile.h"

namespace enginetest {
namespace {

struct FeedRun {
  int status;
  std::string output;   // standard output and standard error
};

FeedRun Feed(const std::string& args) {
  std::string cmd = testkit::BinaryFolder() + "/tallyfeed " + args + " 2>&1";
  FeedRun r{-1, ""};
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) return r;
  std::array<char, 4096> buf;
  size_t n;
  while ((n = fread(buf.data(), 1, buf.size(), p)) > 0) r.output.append(buf.data(), n);
  int st = pclose(p);
  r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  return r;
}

std::string Quote(const std::string& s) { return "'" + s + "'"; }

class TallyfeedTest : public ::testing::Test {
 protected:
  void SetUp() override {
    db_ = dir_.File("feed.db");
    testkit::Touch(db_);
    datagram_ = dir_.File("d1.bin");
    const auto bytes = ServerLog("H").Build();
    testkit::WriteFile(datagram_, std::string(bytes.begin(), bytes.end()));
  }
  std::string Cs() const { return "Provider=SQLite;Data Source=" + db_; }
  testkit::TempDir dir_;
  std::string db_, datagram_;
};

TEST_F(TallyfeedTest, NumberingContinuesAcrossProgramRuns) {
  std::string log = dir_.File("Process.log");
  FeedRun a = Feed("--create-tables --log-path " + Quote(log) + " " + Quote(Cs()) + " " + Quote(datagram_));
  ASSERT_EQ(a.status, 0) << a.output;
  FeedRun b = Feed("--log-path " + Quote(log) + " --from 10.9.8.7:1234 --listen-port 29000 " + Quote(Cs()) +
               " " + Quote(datagram_) + " " + Quote(datagram_));
  ASSERT_EQ(b.status, 0) << b.output;
  auto lines = textfile::ReadLines(log);
  ASSERT_EQ(lines->size(), 6u);
  EXPECT_EQ((*lines)[4].rfind("Process# 3 STARTED ", 0), 0u);
  EXPECT_NE((*lines)[4].find(";ListenPort=29000;ConnectedIPAddress=10.9.8.7;ConnectedPort=1234;"),
            std::string::npos);
}

TEST_F(TallyfeedTest, FailuresGiveNonZeroStatusAndAClearMessage) {
  std::string log = dir_.File("Process.log");
  FeedRun missing_db = Feed("--log-path " + Quote(log) + " " + Quote("Provider=SQLite;Data Source=" + dir_.File("no.db")) +
                        " " + Quote(datagram_));
  EXPECT_NE(missing_db.status, 0);
  EXPECT_NE(missing_db.output.find("Error # "), std::string::npos) << missing_db.output;
  EXPECT_FALSE(testkit::Exists(dir_.File("no.db")));

  FeedRun missing_file = Feed("--create-tables --log-path " + Quote(log) + " " + Quote(Cs()) + " " +
                          Quote(dir_.File("nope.bin")));
  EXPECT_NE(missing_file.status, 0);
  EXPECT_NE(missing_file.output.find("cannot be read"), std::string::npos);

  FeedRun usage = Feed("--bogus");
  EXPECT_EQ(usage.status, 2);
  EXPECT_NE(usage.output.find("usage: tallyfeed"), std::string::npos);
}

}  // namespace
}  // namespace enginetest
