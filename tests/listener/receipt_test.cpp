// Receipt and hand-off over real UDP on loopback into real SQLite files
// through libtallycore.so.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <unistd.h>

#include <random>
#include <regex>
#include <thread>

#include "datagram_builder.h"
#include "listener_fixture.h"
#include "textfile.h"

using namespace listenertest;

class ReceiptTest : public ListenerTest {
 protected:
  void StartEntries(int count) {
    std::vector<std::string> lines;
    for (int i = 1; i <= count; ++i) {
      ports[i] = FreeUdpPort();
      dbs[i] = NewDatabase("db" + std::to_string(i) + ".mdb");
      logs[i] = tmp_->File("log" + std::to_string(i) + "/Process.log");
      lines.push_back(Line(ports[i], dbs[i], logs[i]));
    }
    WriteConfig(lines);
    ASSERT_TRUE(Start());
    ASSERT_TRUE(Boxes().empty());
  }
  bool WaitLogs(int entry, size_t count) {
    return WaitUntil([&] { return LogsCount(dbs[entry]) >= count && !Form().Busy() &&
                                  Form().Pending() == 0; });
  }
  int ports[5] = {};
  std::string dbs[5], logs[5];
};

TEST_F(ReceiptTest, DatagramsReachTheirOwnEntrysDatabaseAndLog) {
  StartEntries(2);
  SendDatagram(ports[1], ValidDatagram(1, "one"));
  SendDatagram(ports[2], ValidDatagram(1, "two"));
  SendDatagram(ports[2], ValidDatagram(2, "two"));
  ASSERT_TRUE(WaitLogs(1, 1));
  ASSERT_TRUE(WaitLogs(2, 2));
  EXPECT_EQ(LogsData(dbs[1]), (std::vector<std::vector<uint8_t>>{ValidDatagram(1, "one")}));
  EXPECT_EQ(LogsCount(dbs[2]), 2u);
  EXPECT_TRUE(testkit::Exists(logs[1]));
  EXPECT_TRUE(testkit::Exists(logs[2]));
}

TEST_F(ReceiptTest, StatusLabelTellsPortTimeSenderAndSize) {
  StartEntries(1);
  int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  std::vector<uint8_t> bytes = ValidDatagram(1);
  bytes.resize(812, 'z');
  SendDatagram(ports[1], bytes, fd);
  ::close(fd);
  ASSERT_TRUE(WaitLogs(1, 1));
  std::regex expected("Log recieved on port " + std::to_string(ports[1]) +
                      " at \\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d from IP Address: "
                      "127\\.0\\.0\\.1:" +
                      std::to_string(ntohs(a.sin_port)) + " containing 812 bytes of data\\.");
  bool found = false;
  for (const auto& s : front_.statuses)
    found = found || std::regex_search(s, expected);
  EXPECT_TRUE(found) << front_.statuses.back();
}

TEST_F(ReceiptTest, AfterDeletingEntryTwoEntryThreeKeepsItsOwnDatabase) {
  StartEntries(3);
  state_->ListView1.Select("con2");
  Form().ToolsDelete();
  SendDatagram(ports[3], ValidDatagram(1, "three"));
  ASSERT_TRUE(WaitLogs(3, 1));
  EXPECT_EQ(LogsCount(dbs[1]), 0u);
  EXPECT_EQ(LogsCount(dbs[2]), 0u);
  EXPECT_TRUE(testkit::Exists(logs[3]));
  EXPECT_FALSE(testkit::Exists(logs[2]));
}

TEST_F(ReceiptTest, AfterSortingEachEntryKeepsItsSettings) {
  StartEntries(3);
  Form().ColumnClick(3);
  Form().ColumnClick(3);   // descending by log path: entry 3 first
  ASSERT_EQ(state_->ListView1.rows()[0].key, "con3");
  for (int i = 1; i <= 3; ++i) SendDatagram(ports[i], ValidDatagram(1, std::to_string(i)));
  for (int i = 1; i <= 3; ++i) {
    ASSERT_TRUE(WaitLogs(i, 1));
    EXPECT_EQ(LogsData(dbs[i])[0], ValidDatagram(1, std::to_string(i)));
    EXPECT_TRUE(testkit::Exists(logs[i]));
  }
}

TEST_F(ReceiptTest, TurningRawLoggingOffAffectsTheNextDatagram) {
  StartEntries(1);
  std::string raw = tmp_->File("log1/Logout.log");
  SendDatagram(ports[1], ValidDatagram(1));
  ASSERT_TRUE(WaitLogs(1, 1));
  ASSERT_TRUE(testkit::Exists(raw));
  size_t size = testkit::ReadFile(raw).size();
  Form().FileRaw();
  SendDatagram(ports[1], ValidDatagram(2));
  ASSERT_TRUE(WaitLogs(1, 2));
  EXPECT_EQ(testkit::ReadFile(raw).size(), size);
}

TEST_F(ReceiptTest, ZeroByteDatagramIsIgnored) {
  StartEntries(1);
  SendDatagram(ports[1], {});
  SendDatagram(ports[1], ValidDatagram(1));
  ASSERT_TRUE(WaitLogs(1, 1));
  EXPECT_EQ(LogsCount(dbs[1]), 1u);
  EXPECT_EQ(Form().HandedOver() + Form().Failed(), 1u);
}

TEST_F(ReceiptTest, BadDatagramsAreArchivedAndReceivingGoesOn) {
  StartEntries(1);
  std::vector<std::vector<uint8_t>> sent;
  sent.push_back({'x'});
  sent.push_back(std::vector<uint8_t>(65507, 'a'));
  std::mt19937 rng(7);
  for (int i = 0; i < 20; ++i) {
    std::vector<uint8_t> b(1 + rng() % 1500);
    for (auto& c : b) c = static_cast<uint8_t>(rng());
    sent.push_back(b);
  }
  sent.push_back(ValidDatagram(1));
  for (const auto& b : sent) SendDatagram(ports[1], b);
  ASSERT_TRUE(WaitLogs(1, sent.size()));
  EXPECT_EQ(LogsData(dbs[1]), sent);
  EXPECT_GT(Form().Failed(), 0u);
  EXPECT_NE(front_.statuses.back().find("Log recieved"), std::string::npos);
}

TEST_F(ReceiptTest, FailingPassIsShownAndTheNextEntryStillReceives) {
  StartEntries(2);
  std::remove(dbs[1].c_str());   // the database can no longer be opened
  SendDatagram(ports[1], ValidDatagram(1));
  ASSERT_TRUE(WaitUntil([&] { return Form().Failed() == 1 && !Form().Busy(); }));
  EXPECT_NE(front_.statuses.back().find("Processing failed: Error # "), std::string::npos);
  EXPECT_FALSE(testkit::Exists(dbs[1]));   // never created
  SendDatagram(ports[2], ValidDatagram(1));
  ASSERT_TRUE(WaitLogs(2, 1));
}

TEST_F(ReceiptTest, BurstFromManySendersIsArchivedWhole) {
  StartEntries(1);
  const int kSenders = 16, kEach = 40;
  std::vector<std::thread> threads;
  for (int s = 0; s < kSenders; ++s)
    threads.emplace_back([&, s] {
      for (int i = 0; i < kEach; ++i) SendDatagram(ports[1], ValidDatagram(s * 1000 + i));
    });
  for (auto& t : threads) t.join();
  ASSERT_TRUE(WaitLogs(1, kSenders * kEach));
  EXPECT_EQ(LogsCount(dbs[1]), static_cast<size_t>(kSenders * kEach));
}

namespace {
// Answers the lock prompt by running the event loop until `during` has
// done its work, then answers Yes.
class PromptService : public msgbox::MessageBoxService {
 public:
  std::function<void()> during;
  int prompts = 0;
  int Show(const std::string&, int buttons, const std::string& title) override {
    if (title == "Record is Locked" && prompts++ == 0 && during) {
      during();
      return msgbox::vbYes;
    }
    return buttons == msgbox::vbOKOnly ? msgbox::vbOK : msgbox::vbYes;
  }
};
}  // namespace

TEST_F(ReceiptTest, DatagramsDuringAPromptFollowInArrivalOrder) {
  StartEntries(1);
  auto service = std::make_shared<PromptService>();
  msgbox::Install(service);
  sqlite3* holder = nullptr;
  ASSERT_EQ(sqlite3_open(dbs[1].c_str(), &holder), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(holder, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
  bool queued_while_busy = false;
  service->during = [&] {
    for (uint32_t i = 2; i <= 4; ++i) SendDatagram(ports[1], ValidDatagram(i));
    queued_while_busy = WaitUntil([&] { return Form().Pending() >= 3; }) && Form().Busy();
    sqlite3_exec(holder, "COMMIT", nullptr, nullptr, nullptr);
  };
  SendDatagram(ports[1], ValidDatagram(1));
  ASSERT_TRUE(WaitLogs(1, 4));
  sqlite3_close(holder);
  EXPECT_EQ(service->prompts, 1);
  EXPECT_TRUE(queued_while_busy);
  auto data = LogsData(dbs[1]);
  ASSERT_EQ(data.size(), 4u);
  for (uint32_t i = 0; i < 4; ++i) EXPECT_EQ(data[i], ValidDatagram(i + 1));
  msgbox::Install(boxes_);
}

TEST_F(ReceiptTest, TallysendLogArrivesAsNumberedDatagrams) {
  StartEntries(1);
  std::string log = tmp_->File("game.log"), players = tmp_->File("players.txt");
  std::string records;
  for (int i = 0; i < 40; ++i)
    records += "Alice\tBob\tKill\tRailgun\t1\t" + std::to_string(i) + ".5\n";
  testkit::WriteFile(log, records);
  testkit::WriteFile(players, "netname \"Alice\"\nmodel \"sarge\"\n");
  std::string cmd = testkit::BinaryFolder() + "/tallysend --quiet --to 127.0.0.1:" +
                    std::to_string(ports[1]) +
                    " --hostname Arena --var sv_maxclients=8 --max-size 300 --first-packet 7"
                    " --player-vars " +
                    players + " " + log;
  datagram::Builder expected;
  expected.server_vars = {{"hostname", "Arena"}, {"$HOST_IP$", "127.0.0.1"}, {"port", "27960"},
                          {"sv_maxclients", "8"}};
  for (int i = 0; i < 40; ++i)
    expected.records.push_back("Alice\tBob\tKill\tRailgun\t1\t" + std::to_string(i) + ".5");
  expected.player_var_lines = {"netname \"Alice\"", "model \"sarge\""};
  expected.packet_number = 7;
  const size_t count = datagram::Split(expected, 300).size();
  ASSERT_GE(count, 2u);
  ASSERT_EQ(std::system(cmd.c_str()), 0);
  ASSERT_TRUE(WaitLogs(1, count));
  auto data = LogsData(dbs[1]);
  ASSERT_EQ(data.size(), count);
  for (size_t i = 0; i < data.size(); ++i) {
    ASSERT_LE(data[i].size(), 300u);
    uint32_t n = 4096u * data[i][4] + 256u * data[i][5] + 16u * data[i][6] + data[i][7];
    EXPECT_EQ(n, 7 + i);
    std::string text(data[i].begin(), data[i].end());
    EXPECT_NE(text.find("hostname \"Arena\""), std::string::npos);
    EXPECT_NE(text.find("sv_maxclients \"8\""), std::string::npos);
  }
  std::string last(data.back().begin(), data.back().end());
  EXPECT_NE(last.find("netname \"Alice\""), std::string::npos);
}

TEST(Tallysend, RefusesBadOptionsWithAMessage) {
  std::string bin = testkit::BinaryFolder() + "/tallysend";
  EXPECT_NE(std::system((bin + " --max-size 10 /dev/null 2>/dev/null").c_str()), 0);
  EXPECT_NE(std::system((bin + " --to nowhere /dev/null 2>/dev/null").c_str()), 0);
  EXPECT_NE(std::system((bin + " /no/such/file 2>/dev/null").c_str()), 0);
}
