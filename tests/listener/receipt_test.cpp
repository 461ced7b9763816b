// Receipt and hand-off over real UDP on loopback into real SQLite files
// through libtallycore.so.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <unistd.h>
#include <sys/socket.h>
#include <netinet/in.h>

#include <random>
#include <regex>

#include "datagram_builder.h"
#include "listener_fixture.h"

using namespace listenertest;
using ReceiptTest = ListenerTest;

TEST_F(ReceiptTest, EachEntryKeepsItsSettingsAfterDeleteAndSort) {
  StartEntries(3);
  state_->udpPeerB->SetBacklogLimit(1);   // reading resumes only after each hand-over
  Select(2);
  Form().ToolsDelete();
  Form().ColumnClick(3);
  Form().ColumnClick(3);   // descending by log path: entry 3 first
  ASSERT_EQ(state_->ListView1.rows()[0].key, "con3");
  SendDatagram(ports[1], ValidDatagram(1, "one"));
  SendDatagram(ports[3], ValidDatagram(1, "three"));
  SendDatagram(ports[3], ValidDatagram(2, "three"));
  ASSERT_TRUE(WaitStored(1, 1));
  ASSERT_TRUE(WaitStored(3, 2));
  EXPECT_EQ(LogsData(dbs[1]), Datagrams{ValidDatagram(1, "one")});
  EXPECT_EQ(LogsData(dbs[3])[1], ValidDatagram(2, "three"));
  EXPECT_EQ(LogsCount(dbs[2]), 0u);
  EXPECT_EQ(std::vector<bool>({testkit::Exists(logs[1]), testkit::Exists(logs[2]), testkit::Exists(logs[3])}),
            std::vector<bool>({true, false, true}));
  // Raw logging turned off affects the next datagram.
  const std::string raw = tmp_->File("log1/Logout.log");
  const size_t size = testkit::ReadFile(raw).size();
  EXPECT_GT(size, 0u);
  Form().FileRaw();
  SendDatagram(ports[1], ValidDatagram(2, "one"));
  ASSERT_TRUE(WaitStored(1, 2));
  EXPECT_EQ(testkit::ReadFile(raw).size(), size);
}

// With a spool, and without one (a file in its place): then what was read
// waits in memory.
class ReceiptDeleteTest : public ReceiptTest, public ::testing::WithParamInterface<bool> {};

TEST_P(ReceiptDeleteTest, DatagramsReadBeforeTheirEntryIsDeletedAreStillStored) {
  if (!GetParam()) testkit::WriteFile(ProgramPath() + "/spool", "not a folder");
  StartEntries(2);
  // Both wait in entry 2's socket: the event loop has not run yet.
  SendDatagram(ports[2], ValidDatagram(1, "two"));
  SendDatagram(ports[2], ValidDatagram(2, "two"));
  Select(2);
  Form().ToolsDelete();
  ASSERT_TRUE(WaitUntil([&] { return Form().HandedOver() + Form().Failed() >= 2 && !Form().Busy(); }));
  EXPECT_EQ(Form().Failed(), 0u);
  EXPECT_EQ(LogsData(dbs[2]), (Datagrams{ValidDatagram(1, "two"), ValidDatagram(2, "two")}));
  EXPECT_EQ(LogsCount(dbs[1]), 0u);
}

INSTANTIATE_TEST_SUITE_P(SpooledOrInMemory, ReceiptDeleteTest, ::testing::Bool());

// A busy entry does not keep a quiet one waiting: entries take turns.
TEST_F(ReceiptTest, EntriesWithDatagramsWaitingTakeTurns) {
  StartEntries(2);
  for (uint32_t n = 1; n <= 3; ++n) SendDatagram(ports[1], ValidDatagram(n, "one"));
  SendDatagram(ports[2], ValidDatagram(1, "two"));
  ASSERT_TRUE(WaitStored(1, 3) && WaitStored(2, 1));
  Texts order;
  const std::regex port("^Log recieved on port (\\d+) ");
  std::smatch m;
  for (const std::string& status : front_.statuses)
    if (std::regex_search(status, m, port)) order.push_back(m[1]);
  const std::string one = std::to_string(ports[1]), two = std::to_string(ports[2]);
  EXPECT_EQ(order, (Texts{one, two, one, one}));
}

TEST_F(ReceiptTest, StatusLabelIsTheReceiptLineAndTheLinesSkipped) {
  StartEntries(1);
  datagram::Builder b;   // a record line the engine skips
  b.server_vars = {{"hostname", "h"}, {"$HOST_IP$", "10.0.0.5"}, {"port", "27960"}};
  b.records = {"a line without any tab"};
  std::vector<uint8_t> bytes = b.Build();
  bytes.resize(812, 'z');
  int from = SendDatagram(ports[1], bytes);
  ASSERT_TRUE(WaitStored(1, 1));
  std::regex expected("Log recieved on port " + std::to_string(ports[1]) +
                      " at \\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d from IP Address: "
                      "127\\.0\\.0\\.1:" +
                      std::to_string(from) + " containing 812 bytes of data\\.\nLines skipped: 1 \\(1\\)\\.");
  EXPECT_TRUE(std::regex_match(front_.statuses.back(), expected)) << front_.statuses.back();
  // The engine is told the sender's address and port, not the listening port.
  EXPECT_EQ(testkit::SqlRows(dbs[1], "SELECT Log_IP, Log_Port FROM Logs"),
            (std::vector<Texts>{{"127.0.0.1", std::to_string(from)}}));
}

// A pass that fails is shown and receiving goes on; a deferred datagram is
// tried again once its pause has ended: 1 s, then twice as long each time up
// to a minute, on a clock the test drives. Stored (once), the next deferral
// pauses 1 s again.
TEST_F(ReceiptTest, FailuresAreShownAndADeferredDatagramWaitsAPauseThatDoublesUpToAMinute) {
  testkit::TestEnv clock;
  clock.DriveSteadyClock();
  StartEntries(2);
  std::remove(dbs[2].c_str());   // entry 2's database can no longer be opened: every pass is deferred
  SendDatagram(ports[2], ValidDatagram(1));
  ASSERT_TRUE(WaitUntil([&] { return Form().Deferred() == 1 && !Form().Busy(); }));
  EXPECT_THAT(front_.statuses.back(), HasSubstr("\nThe datagram waits in the spool (1 waiting for port " +
                                                 std::to_string(ports[2]) + "): Error # "));
  EXPECT_FALSE(testkit::Exists(dbs[2]));   // never created
  Datagrams sent = {{'x'}, std::vector<uint8_t>(65507, 'a')};
  std::mt19937 rng(7);
  for (int i = 0; i < 20; ++i) {
    std::vector<uint8_t> b(1 + rng() % 1500);
    for (auto& c : b) c = static_cast<uint8_t>(rng());
    sent.push_back(b);
  }
  sent.push_back(ValidDatagram(1));
  SendDatagram(ports[1], {});   // a datagram of 0 bytes is ignored
  for (const auto& b : sent) SendDatagram(ports[1], b);
  // Entry 1 goes on while entry 2's datagram waits.
  ASSERT_TRUE(WaitUntil([&] { return LogsCount(dbs[1]) >= sent.size() && Form().Pending() == 1 && !Form().Busy(); }));
  EXPECT_EQ(LogsData(dbs[1]), sent);

  uint64_t tries = 1;
  auto pause_is = [&](int ms) {
    clock.AdvanceSteadyClock(std::chrono::milliseconds(ms - 1));
    Form().HandOverNext();
    EXPECT_EQ(Form().Deferred(), tries) << "tried again before " << ms << " ms";
    clock.AdvanceSteadyClock(std::chrono::milliseconds(1));
    Form().HandOverNext();
    EXPECT_EQ(Form().Deferred(), ++tries) << "not tried again after " << ms << " ms";
  };
  for (int ms : {1000, 2000, 4000, 8000, 16000, 32000, 60000, 60000}) pause_is(ms);

  RestoreDatabase(2);
  clock.AdvanceSteadyClock(std::chrono::milliseconds(60000));
  Form().HandOverNext();
  ASSERT_TRUE(WaitStored(2, 1));
  EXPECT_EQ(LogsData(dbs[2]), Datagrams{ValidDatagram(1)});
  EXPECT_EQ(Form().HandedOver() + Form().Failed(), sent.size() + 1);
  std::remove(dbs[2].c_str());
  SendDatagram(ports[2], ValidDatagram(2));
  ASSERT_TRUE(WaitUntil([&] { return Form().Deferred() == tries + 1 && !Form().Busy(); }));
  ++tries;
  pause_is(1000);
}

// The spool at its cap while the database is missing: what it cannot take
// waits in memory, and what comes later behind that. Once the database is
// back, each is stored once, in arrival order.
TEST_F(ReceiptTest, WhatWaitsInMemoryIsStoredAfterTheSpoolAndBeforeWhatCameLater) {
  testkit::TestEnv clock;
  clock.DriveSteadyClock();
  WriteEntries(1);
  ASSERT_TRUE(Start("spoolmax=1k"));
  ASSERT_TRUE(Boxes().empty());
  std::remove(dbs[1].c_str());   // every pass is deferred until it is back
  auto send = [&](uint32_t from, uint32_t to) {
    for (uint32_t i = from; i <= to; ++i) SendDatagram(ports[1], ValidDatagram(i));
  };
  send(1, 20);
  ASSERT_TRUE(WaitUntil([&] { return Form().Pending() == 20 && !Form().Busy(); }));
  const tallyhost::EntrySnapshot at_cap = Entry(1);
  ASSERT_TRUE(at_cap.spool_at_cap);
  ASSERT_GT(at_cap.spool_refused, 0u) << "nothing waits in memory";
  ASSERT_LT(at_cap.spool_refused, 20u) << "nothing waits in the spool";

  RestoreDatabase(1);
  send(21, 22);   // still within the pause: these queue behind memory
  ASSERT_TRUE(WaitUntil([&] { return Form().Pending() == 22 && !Form().Busy(); }));
  EXPECT_EQ(LogsCount(dbs[1]), 0u);
  // The first of the spool is stored and the spool has room again, but what
  // the network reads before any event runs still belongs behind memory.
  clock.AdvanceSteadyClock(std::chrono::seconds(60));
  Form().HandOverNext();
  ASSERT_EQ(LogsCount(dbs[1]), 1u);
  send(23, 23);
  ASSERT_TRUE(testkit::Eventually([&] { return state_->udpPeerB->Received() == 23; }));
  send(24, 25);
  ASSERT_TRUE(WaitStored(1, 25));
  EXPECT_EQ(LogsData(dbs[1]), Numbered(1, 25));
  EXPECT_EQ(Form().Failed(), 0u);
}

// Ending while the spool at its cap holds datagrams and more wait in memory
// behind it: the database being back does not let the later ones past the
// spool's. They are lost, and the loss is said; the spool keeps its own.
TEST_F(ReceiptTest, AtTheEndWhatWaitsInMemoryNeverGoesAheadOfTheSpool) {
  testkit::TestEnv clock;
  clock.DriveSteadyClock();
  WriteEntries(1);
  ASSERT_TRUE(Start("spoolmax=1k"));
  std::remove(dbs[1].c_str());
  for (uint32_t i = 1; i <= 20; ++i) SendDatagram(ports[1], ValidDatagram(i));
  ASSERT_TRUE(WaitUntil([&] { return Form().Pending() == 20 && !Form().Busy(); }));
  ASSERT_GT(Entry(1).spool_refused, 0u) << "nothing waits in memory";
  RestoreDatabase(1);   // the pause still runs: nothing has been tried since
  Form().Flush();
  EXPECT_EQ(LogsCount(dbs[1]), 0u) << "stored ahead of the spool";
  bool said = false;
  for (const tallyhost::Problem& p : tallyhost::TheEntryStatus().Problems())
    said |= p.text.find(" datagrams received from ") != std::string::npos && p.text.find("are lost") != std::string::npos;
  EXPECT_TRUE(said);
}

TEST_F(ReceiptTest, DatagramsDuringAPromptFollowInArrivalOrder) {
  StartEntries(1);
  auto holder = std::make_unique<testkit::WriteLock>(dbs[1]);
  bool queued_while_busy = false;
  boxes_->Push(msgbox::vbYes);   // the lock prompt: keep trying
  boxes_->OnShow([&](const std::string& title) {
    if (title != "Record is Locked" || !holder) return;
    for (uint32_t i = 2; i <= 4; ++i) SendDatagram(ports[1], ValidDatagram(i));
    queued_while_busy = WaitUntil([&] { return Form().Pending() >= 3; }) && Form().Busy();
    holder.reset();
  });
  SendDatagram(ports[1], ValidDatagram(1));
  ASSERT_TRUE(WaitStored(1, 4));
  EXPECT_TRUE(queued_while_busy);
  EXPECT_EQ(Boxes().size(), 1u);
  EXPECT_EQ(LogsData(dbs[1]), Numbered(1, 4));
}

TEST_F(ReceiptTest, TallysendLogArrivesAsNumberedDatagrams) {
  StartEntries(1);
  datagram::Builder log;
  log.server_vars = {{"hostname", "Arena"}, {"$HOST_IP$", "127.0.0.1"}, {"port", "27960"}};
  log.packet_number = 7;
  std::string text = "\xEF\xBB\xBF";   // a byte-order mark, and lines ended every way
  for (int i = 0; i < 40; ++i) {
    log.records.push_back("Alice\tBob\tKill\tRailgun\t1\t" + std::to_string(i) + ".5");
    text += log.records.back() + (i % 3 == 0 ? "\r" : i % 3 == 1 ? "\r\n" : "\n");
  }
  testkit::WriteFile(tmp_->File("game.log"), text);
  const auto expected = datagram::SplitBytes(log, 300);
  ASSERT_GE(expected.size(), 2u);
  ASSERT_EQ(std::system((testkit::BinaryFolder() + "/tallysend --quiet --to 127.0.0.1:" + std::to_string(ports[1]) +
                         " --hostname Arena --max-size 300 --first-packet 7 " + tmp_->File("game.log")).c_str()),
            0);
  ASSERT_TRUE(WaitStored(1, expected.size()));
  EXPECT_EQ(LogsData(dbs[1]), expected);
}

// tallysend refuses bad options with a message, and sends to a bracketed
// IPv6 address.
TEST(ReceiptTallysend, RefusesBadOptionsWithAMessageAndSendsToIpv6) {
  const std::string bin = testkit::BinaryFolder() + "/tallysend";
  for (const char* args :
       {"--max-size 10 /dev/null", "--to nowhere /dev/null", "/no/such/file", "--var =x /dev/null"})
    EXPECT_NE(std::system((bin + " " + args + " 2>/dev/null").c_str()), 0) << args;
  int status = 0;   // a folder is no log: nothing is sent
  EXPECT_THAT(testkit::RunShell(bin + " --to 127.0.0.1:9 /tmp 2>&1", &status), HasSubstr("can not read /tmp"));
  EXPECT_NE(status, 0);

  const int fd = ::socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(fd, 0);
  sockaddr_in6 addr{};
  addr.sin6_family = AF_INET6;
  addr.sin6_addr = in6addr_loopback;
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  socklen_t len = sizeof addr;
  ASSERT_EQ(::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len), 0);
  timeval wait{10, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
  const std::string to = "[::1]:" + std::to_string(ntohs(addr.sin6_port));
  EXPECT_EQ(std::system((bin + " --quiet --to " + to + " /dev/null").c_str()), 0);
  char buffer[2048];
  EXPECT_GT(::recv(fd, buffer, sizeof buffer, 0), 20);   // the header and the variables
  ::close(fd);
}

TEST(ReceiptUdpPeers, BacklogIsBoundedUntilReleased) {
  tallyhost::UdpPeerArray peers;
  peers.SetBacklogLimit(4000);
  int port = FreeUdpPort();
  ASSERT_TRUE(peers.Load(1).ok());
  ASSERT_TRUE(peers.Bind(1, port).ok());
  for (int i = 0; i < 20; ++i) SendDatagram(port, std::vector<uint8_t>(1000, uint8_t(i)));
  std::vector<uint8_t> seen;
  while (seen.size() < 20) {
    ASSERT_TRUE(WaitUntil([&] { return peers.Received() > seen.size(); }));
    EXPECT_LE(peers.Received() - seen.size(), 4u);   // reading stops at the limit
    for (const auto& a : peers.TakeArrivals()) {
      seen.push_back(static_cast<uint8_t>(a.data[0]));
      peers.Release(static_cast<size_t>(a.data.size()));
    }
  }
  for (int i = 0; i < 20; ++i) EXPECT_EQ(seen[i], i);
}
