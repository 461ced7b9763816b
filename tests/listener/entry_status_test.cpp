// Status per entry: counters, dead entries, recent problems and the metrics
// text (the headless program's report and endpoint: service_test.cpp).
#include <gtest/gtest.h>

#include <set>
#include <sys/socket.h>

#include "datagram_builder.h"
#include "listener_fixture.h"
#include "status_report.h"
#include "text_rules.h"

using namespace listenertest;
using tallyhost::EntrySnapshot;
using tallyhost::TheEntryStatus;
using ::testing::AllOf;
using ::testing::StartsWith;

namespace {

using testkit::HeldPort;

// "<port> listening|not listening (<why>): received, stored, failed, refused, waiting" of entry n.
std::string Counters(int n) {
  const EntrySnapshot s = Entry(n);
  std::string out = std::to_string(s.port);
  out += s.listening ? " listening: " : " not listening (" + s.why_not + "): ";
  for (uint64_t c : {s.received, s.stored, s.failed, s.refused, s.waiting}) out += std::to_string(c) + " ";
  return out;
}

class EntryStatusTest : public ListenerTest {
 protected:
  void SetUp() override {
    ListenerTest::SetUp();
    TheEntryStatus().Clear();
  }
};

TEST_F(EntryStatusTest, CountersListeningAndProblemsAfterAMixOfDatagrams) {
  HeldPort taken(SOCK_DGRAM);   // entry 2's port; entry 3's database is missing
  WriteEntries(4);
  WriteConfig({Line(ports[1], dbs[1], logs[1]), Line(taken.port, dbs[2], logs[2]),
               Line(ports[3], tmp_->File("missing.mdb"), logs[3]), Line(ports[4], dbs[4], logs[4])});
  testkit::WriteFile(ProgramPath() + "/connections.allow", std::to_string(ports[4]) + " 10.9.9.9\n");
  ASSERT_TRUE(Start());
  for (uint32_t i = 1; i <= 3; ++i) SendDatagram(ports[1], ValidDatagram(i, "a"));
  SendDatagram(ports[1], {0xff, 0xff, 0x01});   // malformed: the pass fails
  SendDatagram(ports[1], ValidDatagram(1, "b"));   // another game server at the same address
  SendDatagram(ports[4], ValidDatagram(1));
  SendDatagram(ports[4], ValidDatagram(2));
  ASSERT_TRUE(WaitUntil([&] { return Entry(1).stored + Entry(1).failed == 5 && Entry(4).refused == 2; }));
  TheEntryStatus().SetWaiting(1, 5, "database locked");   // as the spool reports
  tallyhost::RefreshEntryStatus(*state_);

  EXPECT_EQ(Counters(1), std::to_string(ports[1]) + " listening: 5 4 1 0 5 ");
  EXPECT_TRUE(Entry(1).has_last);
  std::set<std::string> heard;
  for (const auto& h : Entry(1).servers) heard.insert(h.hostname + " at " + h.address);
  EXPECT_EQ(heard, (std::set<std::string>{"Test Server a at 127.0.0.1", "Test Server b at 127.0.0.1"}));
  // Messages held back for a sender count once for the entry that heard it,
  // however many host names it sent under.
  TheEntryStatus().OnBoxNotShown("127.0.0.1");
  TheEntryStatus().OnBoxNotShown("127.0.0.1");
  TheEntryStatus().OnBoxNotShown("10.1.1.1");   // a sender the entry never heard
  EXPECT_EQ(Entry(1).boxes_not_shown, 2u);
  EXPECT_THAT(TheEntryStatus().Describe(), HasSubstr("messages not shown again 2"));
  // Texts from the network are shown as the text they are, control
  // characters escaped; a text that is not UTF-8 is read as ISO-8859-1.
  EXPECT_EQ(tallyhost::Printable("\xD0\xA1\xD0\xB5\xD1\x80\xD0\xB2\xD0\xB5\xD1\x80 1\x01\n"),
            "\xD0\xA1\xD0\xB5\xD1\x80\xD0\xB2\xD0\xB5\xD1\x80 1\\x01\\x0A");
  EXPECT_EQ(tallyhost::Printable("Caf\xE9 \x85\x7F"), "Caf\xC3\xA9 \\x85\\x7F");
  EXPECT_THAT(Counters(2), AllOf(StartsWith(std::to_string(taken.port) + " not listening ("),
                                 HasSubstr("Address in use")));
  EXPECT_THAT(Counters(3), AllOf(StartsWith(std::to_string(ports[3]) + " not listening ("),
                                 HasSubstr("database failed at start-up")));
  EXPECT_EQ(Counters(4), std::to_string(ports[4]) + " listening: 0 0 0 2 0 ");
  EXPECT_EQ(LogsCount(dbs[4]), 0u);

  // The problems stay until read: both dead entries and the failed pass.
  for (const std::string& text : {"Entry 2, port " + std::to_string(taken.port) + ": not listening",
                                  std::string("received 5, stored 4, failed 1, waiting 5 (database locked), refused 0"),
                                  std::string("server \"Test Server a\" at 127.0.0.1"),
                                  std::string("server \"Test Server b\" at 127.0.0.1")})
    EXPECT_THAT(TheEntryStatus().Describe(), HasSubstr(text));
  std::vector<tallyhost::Problem> problems = TheEntryStatus().Problems();
  ASSERT_EQ(problems.size(), 3u);
  EXPECT_THAT(problems[2].text, HasSubstr("datagram from 127.0.0.1"));
  SendDatagram(ports[1], ValidDatagram(4, "a"));   // a later good datagram keeps them
  ASSERT_TRUE(WaitUntil([&] { return Entry(1).stored == 5; }));
  EXPECT_EQ(TheEntryStatus().Problems().size(), 3u);
  TheEntryStatus().MarkProblemsRead();
  tallyhost::RefreshEntryStatus(*state_);
  EXPECT_TRUE(TheEntryStatus().Problems().empty());   // a known reason is not a new problem
  // Once the entry has listened in between, the same reason is news again.
  for (bool listening : {false, true, false}) TheEntryStatus().SetListening(2, taken.port, listening, "rebind failed");
  EXPECT_EQ(TheEntryStatus().Problems().size(), 2u);

  const std::string metrics = TheEntryStatus().Prometheus([](int32_t) { return uint64_t{7}; });
  const std::string p1 = "{entry=\"1\",port=\"" + std::to_string(ports[1]) + "\"} ";
  for (const std::string& line :
       {"tallyhost_datagrams_received_total" + p1 + "6", "tallyhost_datagrams_stored_total" + p1 + "5",
        "tallyhost_datagrams_failed_total" + p1 + "1", "tallyhost_datagrams_waiting" + p1 + "0",   // the spool emptied since
        "tallyhost_kernel_receive_drops_total" + p1 + "7", "tallyhost_entry_listening" + p1 + "1",
        std::string("tallyhost_pass_duration_seconds_count 6"),
        std::string("tallyhost_pass_duration_seconds_bucket{le=\"+Inf\"} 6")})
    EXPECT_NE(metrics.find(line + "\n"), std::string::npos) << line << "\n" << metrics;
  // A deleted entry leaves the status.
  Select(4);
  Form().ToolsDelete();
  tallyhost::RefreshEntryStatus(*state_);
  for (const EntrySnapshot& s : TheEntryStatus().Snapshot()) EXPECT_NE(s.entry, 4);
}

// Stored, but not whole: a line that cannot be read, a statement answered
// No. Counted as stored, said in the report and kept among the problems.
TEST_F(EntryStatusTest, ADatagramStoredIncompletelyIsCountedAndKeptAsAProblem) {
  StartEntries(1);
  datagram::Builder b;
  b.server_vars = {{"hostname", "Odd"}, {"$HOST_IP$", "10.0.0.5"}, {"port", "27960"}};
  b.packet_number = 1;
  b.records = {"\t\tGameStart", "no tabs at all"};
  SendDatagram(ports[1], b.Build());
  ASSERT_TRUE(WaitUntil([&] { return Entry(1).stored == 1; }));
  boxes_->Push(msgbox::vbNo);   // the name too long for its column
  b.packet_number = 2;
  b.records = {std::string(51, 'x') + "\tAnn\tKill\tRail\t1\t5"};
  SendDatagram(ports[1], b.Build());
  SendDatagram(ports[1], ValidDatagram(3, "a"));
  ASSERT_TRUE(WaitUntil([&] { return Entry(1).stored == 3; }));
  EXPECT_EQ(Entry(1).incomplete, 2u);
  EXPECT_EQ(Entry(1).failed, 0u);
  EXPECT_THAT(TheEntryStatus().Describe(), HasSubstr("received 3, stored 3 (incompletely 2), failed 0"));
  const std::vector<tallyhost::Problem> problems = TheEntryStatus().Problems();
  ASSERT_EQ(problems.size(), 2u);
  EXPECT_THAT(problems[0].text, HasSubstr("stored incompletely: Lines skipped: 1 (2)."));
  EXPECT_THAT(problems[1].text,
              HasSubstr("stored incompletely: Statements ignored: 1 (the first: Insert into Players"));
  tallyhost::RefreshEntryStatus(*state_);
  const std::string p1 = "{entry=\"1\",port=\"" + std::to_string(ports[1]) + "\"} ";
  EXPECT_THAT(TheEntryStatus().Prometheus([](int32_t) { return uint64_t{0}; }),
              HasSubstr("tallyhost_datagrams_incomplete_total" + p1 + "2\n"));
}

TEST(KernelDrops, ReadsTheDropsColumnOfTheSocketsOnAPort) {
  HeldPort held(SOCK_DGRAM);
  EXPECT_EQ(tallyhost::KernelReceiveDrops(held.port), 0u);
  // A receive buffer of one datagram, then a burst: the system drops some.
  int small = 1;
  ::setsockopt(held.fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  for (int i = 0; i < 200; ++i) SendDatagram(held.port, std::vector<uint8_t>(1000, 'x'));
  EXPECT_GT(tallyhost::KernelReceiveDrops(held.port), 0u);
}

}  // namespace
