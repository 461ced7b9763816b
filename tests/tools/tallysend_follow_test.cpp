// tallysend as a process sending what arrives: a followed log through
// appends and restarts with its saved state (rotation and truncation as
// such are driven step by step in log_follower_test.cpp), and standard
// input streamed through a pipe; every record is caught on a loopback UDP
// socket. Each step waits for the records it caused (or a file) to appear.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>

#include "send_state.h"
#include "test_env.h"
#include "udp_catcher.h"

namespace {

using testing::ElementsAre;
using testing::ElementsAreArray;
using testing::HasSubstr;
using Texts = std::vector<std::string>;

void Append(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::app) << bytes;
}

Texts Numbered(int from, int to) {
  Texts out;
  for (int i = from; i <= to; ++i) out.push_back(std::to_string(i));
  return out;
}

class TallysendFollow : public testing::Test {
 protected:
  testkit::TempDir tmp_;
  UdpCatcher catcher_;
  const std::string bin_ = testkit::BinaryFolder() + "/tallysend";
  const std::string log_ = tmp_.File("server.log");
  const std::string state_ = tmp_.File("server.state");
  int runs_ = 0;

  testkit::Child Follow(const Texts& extra = {}) {
    Texts argv = {bin_, "--quiet", "--to", catcher_.to(), "--max-size", "300", "--follow", log_, "--state", state_};
    argv.insert(argv.end(), extra.begin(), extra.end());
    return testkit::Child(argv, tmp_.File("run" + std::to_string(++runs_) + ".txt"));
  }
  // The follower has taken its start once it has noted it.
  bool Started() {
    return testkit::Eventually([&] { return testkit::Exists(state_); });
  }
  std::optional<tallysend::SendState> State() {
    std::string error;
    return tallysend::LoadState(state_, &error);
  }
  // A last record, so that a record sent twice would have come before it.
  void Finish(const Texts& expected) {
    Append(log_, "end\n");
    ASSERT_TRUE(catcher_.WaitFor("end"));
    Texts all = expected;
    all.push_back("end");
    EXPECT_THAT(catcher_.records(), ElementsAreArray(all));
    EXPECT_TRUE(catcher_.PacketsIncrease());
  }
};

TEST_F(TallysendFollow, AppendedLinesArriveOneAtATimeAndWhatWasThereIsNotSent) {
  testkit::WriteFile(log_, "old 1\nold 2\n");
  testkit::Child run = Follow();
  ASSERT_TRUE(Started()) << run.Out();
  for (int i = 1; i <= 5; ++i) {
    Append(log_, std::to_string(i) + "\n");
    ASSERT_TRUE(catcher_.WaitFor(std::to_string(i), std::chrono::seconds(30))) << i << run.Out();
  }
  EXPECT_EQ(catcher_.datagrams().size(), 5u);
  EXPECT_EQ(catcher_.datagrams()[0].packet, 1u);
  Finish(Numbered(1, 5));
  run.Signal(SIGTERM);
  EXPECT_EQ(run.Wait(), 0) << run.Out();
}

TEST_F(TallysendFollow, ACleanRestartGoesOnWithTheFirstRecordNotSentEvenAfterRotation) {
  testkit::WriteFile(log_, "1\n2\n3\n");
  {
    testkit::Child run = Follow({"--from-start"});
    ASSERT_TRUE(catcher_.WaitFor("3")) << run.Out();
    run.Signal(SIGTERM);
    ASSERT_EQ(run.Wait(), 0) << run.Out();
  }
  const uint32_t next = State()->next_packet;
  EXPECT_EQ(next, catcher_.datagrams().back().packet + 1);
  // While stopped: more lines, then the log rotated away with one more line.
  Append(log_, "4\n5\n");
  ASSERT_EQ(::rename(log_.c_str(), (log_ + ".1").c_str()), 0);
  Append(log_ + ".1", "6\n");
  testkit::WriteFile(log_, "7\n");
  const size_t before = catcher_.datagrams().size();
  testkit::Child again = Follow({"--first-packet", "1"});   // the saved number wins
  ASSERT_TRUE(catcher_.WaitFor("7")) << again.Out();
  EXPECT_EQ(catcher_.datagrams()[before].packet, next);
  EXPECT_THAT(again.Out(), HasSubstr("finishing " + log_ + ".1"));
  Finish(Numbered(1, 7));
}

// A long backlog goes out in many datagrams; a stop that comes while they
// are sent lands between two of them, wherever that is.
class TallysendBacklog : public TallysendFollow {
 protected:
  static constexpr int kRecords = 2000;
  Texts backlog_;

  void SetUp() override {
    std::string text;
    for (int i = 0; i < kRecords; ++i) {
      backlog_.push_back("Alice\tBob\tKill\tRailgun\t1\t" + std::to_string(i) + ".25");
      text += backlog_.back() + "\n";
    }
    testkit::WriteFile(log_, text);
  }
  // Signals tallysend once its first datagram has come; its exit status.
  int StopAfterTheFirstDatagram(int sig) {
    testkit::Child run = Follow({"--from-start"});
    EXPECT_TRUE(catcher_.WaitRecords(1)) << run.Out();
    run.Signal(sig);
    EXPECT_TRUE(testkit::Eventually([&] {
      catcher_.Drain();
      return !run.Running();
    }));
    return run.Wait();
  }
};

TEST_F(TallysendBacklog, AStopWhileSendingLosesAndRepeatsNothing) {
  EXPECT_EQ(StopAfterTheFirstDatagram(SIGTERM), 0);
  testkit::Child again = Follow();
  Finish(backlog_);
}

TEST_F(TallysendBacklog, AHardKillWhileSendingRepeatsAtMostTheDatagramInFlight) {
  EXPECT_EQ(StopAfterTheFirstDatagram(SIGKILL), 256 + SIGKILL);
  testkit::Child again = Follow();
  Append(log_, "end\n");
  ASSERT_TRUE(catcher_.WaitFor("end")) << again.Out();
  const Texts got = catcher_.records();
  Texts once;
  size_t at = 0;   // each record once, in order; a repeat only of the one just before
  for (const std::string& r : got) {
    if (at < backlog_.size() && r == backlog_[at]) {
      once.push_back(r);
      ++at;
    }
  }
  EXPECT_EQ(once, backlog_);
  EXPECT_LE(got.size(), backlog_.size() + 1 + 300 / 30) << "more than one datagram was sent twice";
  // The datagram sent again carries its number again; all others increase.
  int repeats = 0;
  const auto& d = catcher_.datagrams();
  for (size_t i = 1; i < d.size(); ++i) {
    EXPECT_GE(d[i].packet, d[i - 1].packet) << i;
    repeats += d[i].packet == d[i - 1].packet;
  }
  EXPECT_LE(repeats, 1);
}

TEST_F(TallysendFollow, ADamagedStateIsRefusedAndNothingIsSent) {
  testkit::WriteFile(log_, "1\n");
  testkit::WriteFile(state_, "tallysend state 1\nfile 1 2\n");
  testkit::Child run = Follow({"--from-start"});
  EXPECT_EQ(run.Wait(), 2);
  EXPECT_THAT(run.Out(), HasSubstr("the state file " + state_ + " is damaged"));
  catcher_.Drain();
  EXPECT_TRUE(catcher_.datagrams().empty());
}

TEST(TallysendOptions, StreamingOptionsAreRefusedWhereTheyDoNotApply) {
  const std::string bin = testkit::BinaryFolder() + "/tallysend";
  for (const std::string& args : {std::string("--state x.state game.log"), std::string("--from-start game.log"),
                                  std::string("--follow game.log --count 3"), std::string("--follow a.log b.log")}) {
    int status = 0;
    const std::string out = testkit::RunShell(bin + " " + args + " 2>&1", &status);
    EXPECT_EQ(status, 2) << args;
    EXPECT_THAT(out, HasSubstr("tallysend: ")) << args;
  }
  EXPECT_THAT(testkit::RunShell(bin + " --help"), HasSubstr("--follow LOGFILE"));
}

// Standard input through a named pipe, written a line at a time.
class TallysendStdin : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(::mkfifo(fifo_.c_str(), 0600), 0);
    run_ = testkit::Child({"/bin/sh", "-c", "exec \"$0\" --quiet --to \"$1\" - < \"$2\"", bin_, catcher_.to(), fifo_},
                          tmp_.File("run.txt"));
    // The pipe opens for writing once tallysend's side has it open for reading.
    ASSERT_TRUE(testkit::Eventually([&] { return (fd_ = ::open(fifo_.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC)) >= 0; }));
    ::fcntl(fd_, F_SETFL, 0);
  }
  void TearDown() override {
    if (fd_ >= 0) ::close(fd_);
  }
  void Write(const std::string& bytes) { ASSERT_EQ(::write(fd_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size())); }
  void Close() {
    ::close(fd_);
    fd_ = -1;
  }

  testkit::TempDir tmp_;
  UdpCatcher catcher_;
  const std::string bin_ = testkit::BinaryFolder() + "/tallysend";
  const std::string fifo_ = tmp_.File("in.fifo");
  testkit::Child run_;
  int fd_ = -1;
};

// Each line goes as soon as its end arrives, a partial one waits for its
// end (or the pipe's), and a LogDate record waits for the LogTime after it.
TEST_F(TallysendStdin, EachLineArrivesAsItEndsAndALogDateWithItsTime) {
  for (int i = 1; i <= 3; ++i) {
    Write(std::to_string(i) + "\r\n");
    ASSERT_TRUE(catcher_.WaitFor(std::to_string(i), std::chrono::seconds(30))) << i << run_.Out();
  }
  EXPECT_EQ(catcher_.datagrams().size(), 3u);
  Write("A\nB");
  ASSERT_TRUE(catcher_.WaitFor("A")) << run_.Out();
  EXPECT_THAT(catcher_.records(), ElementsAre("1", "2", "3", "A"));
  Write("C\n");
  ASSERT_TRUE(catcher_.WaitFor("BC")) << run_.Out();
  const std::string log_date = "\t\tLogDate\t2024-05-06 x\t\t0";
  Write(log_date + "\n");
  Write("\t\tLogTime\t12:00:00\t\t0\n");
  ASSERT_TRUE(catcher_.WaitFor(log_date)) << run_.Out();
  EXPECT_THAT(catcher_.datagrams().back().records, ElementsAre(log_date, "\t\tLogTime\t12:00:00\t\t0"));
  Write("last, without its end");
  Close();
  EXPECT_EQ(run_.Wait(), 0) << run_.Out();
  catcher_.Drain();
  EXPECT_THAT(catcher_.records(), ElementsAre("1", "2", "3", "A", "BC", log_date, "\t\tLogTime\t12:00:00\t\t0",
                                              "last, without its end"));
  EXPECT_TRUE(catcher_.PacketsIncrease());
}

TEST(TallysendUnit, TheTemplateFollowsOneConfiguredLogWithItsState) {
  const std::string unit = testkit::ReadFile(std::string(TALLY_SOURCE_DIR) + "/service/tallysend@.service.in");
  for (const std::string& setting :
       Texts{"EnvironmentFile=/etc/tallysend/%i.conf", "StateDirectory=tallysend", "Restart=on-failure",
             "--follow ${LOG}", "--to ${TO}", "--hostname ${HOSTNAME}", "--state %S/tallysend/%i.state"})
    EXPECT_THAT(unit, HasSubstr(setting));
  if (std::system("command -v systemd-analyze >/dev/null 2>&1") != 0) return;
  testkit::TempDir tmp;
  std::string configured = unit;
  configured.replace(configured.find("@TALLY_INSTALL_BIN@"), 19, testkit::BinaryFolder());
  testkit::WriteFile(tmp.File("tallysend@demo.service"), configured);
  int status = -1;
  const std::string out =
      testkit::RunShell("systemd-analyze verify --man=no " + tmp.File("tallysend@demo.service") + " 2>&1", &status);
  EXPECT_EQ(status, 0) << out;
  EXPECT_EQ(out, "");
}

}  // namespace
