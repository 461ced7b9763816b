// Senders kept in check: the allow-list (networks, the file and its faults,
// reports, refused datagrams over UDP) and information boxes throttled per
// sender and text.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "box_throttle.h"
#include "scripted_boxes.h"
#include "datagram_builder.h"
#include "listener_fixture.h"
#include "sender_gate.h"

using namespace listenertest;
using tallyhost::AllowList;
using tallyhost::Network;
using tallyhost::ParseAllowList;
using tallyhost::SenderScope;
using tallyhost::ThrottledMessageBoxes;

namespace {

// A literal's bytes, zero bytes included.
template <size_t N>
std::string WithZeros(const char (&text)[N]) {
  return std::string(text, N - 1);
}

TEST(AllowListNetworks, Ipv4AndIpv6EdgesOfNetworks) {
  // Host bits of a network do not count; 0.0.0.0/0 takes every IPv4 sender and no IPv6 one.
  const struct { const char *network, *address; bool in; } cases[] = {
      {"10.0.0.0/8", "10.0.0.0", true}, {"10.0.0.0/8", "10.255.255.255", true},
      {"10.0.0.0/8", "11.0.0.0", false}, {"10.0.0.0/8", "9.255.255.255", false},
      {"192.168.1.128/25", "192.168.1.255", true}, {"192.168.1.128/25", "192.168.1.127", false},
      {"10.17.2.3/12", "10.16.0.1", true}, {"10.17.2.3/12", "10.32.0.1", false},
      {"2001:db8::1/32", "2001:db8:1::", true}, {"10.0.0.5", "10.0.0.5", true},
      {"10.0.0.5", "10.0.0.4", false}, {"10.0.0.5/32", "10.0.0.6", false}, {"0.0.0.0/0", "203.0.113.9", true},
      {"0.0.0.0/0", "2001:db8::1", false}, {"2001:db8::/32", "2001:db8:ffff:ffff::1", true},
      {"2001:db8::/32", "2001:db9::", false}, {"2001:db8::/127", "2001:db8::1", true},
      {"2001:db8::/127", "2001:db8::2", false}, {"::1", "::1", true}, {"::1", "127.0.0.1", false},
      {"::ffff:10.0.0.0/104", "10.1.2.3", true},   // an IPv4-mapped network written as such
      // An IPv6 network never takes an IPv4 sender, however wide or zero-led.
      {"::1/64", "10.0.0.1", false}, {"::/0", "203.0.113.9", false}, {"::/80", "10.0.0.1", false},
      {"::ffff:10.0.0.0/8", "10.1.2.3", false}, {"::ffff:0:0/95", "10.1.2.3", false},
      {"::ffff:0:0/96", "10.1.2.3", true}, {"::/0", "2001:db8::1", true},
      // A sender on a dual-stack socket shows as IPv4-mapped: it is an IPv4 one.
      {"10.0.0.0/8", "::ffff:10.1.2.3", true}, {"::/0", "::ffff:10.1.2.3", false},
      {"0.0.0.0/0", "::ffff:0.0.0.1", true}, {"0.0.0.0/0", "::1", false},
      // The longest address texts there are still read.
      {"0000:0000:0000:0000:0000:ffff:192.168.100.200/120", "192.168.100.201", true},
      {"::ffff:192.168.100.0/120", "0000:0000:0000:0000:0000:ffff:192.168.100.200", true}};
  for (const auto& c : cases) {
    Network n;
    std::array<uint8_t, 16> a{};
    ASSERT_TRUE(tallyhost::ParseNetwork(c.network, &n)) << c.network;
    ASSERT_TRUE(tallyhost::ParseAddress(c.address, &a)) << c.address;
    EXPECT_EQ(n.Contains(a), c.in) << c.network << " " << c.address;
  }
  // A text of no address is none however long; an address ends at a NUL as
  // a C string does (the last byte read, or -1 for no address).
  for (const auto& [text, last] : {std::pair{std::string(63, '1'), -1}, {"10.0.0.1" + std::string(100, ' '), -1},
                                   {WithZeros("10.0.0.9\0junk"), 9},
                                   {WithZeros("10.0.0.8\0") + std::string(80, 'x'), 8}}) {
    std::array<uint8_t, 16> a{};
    EXPECT_EQ(tallyhost::ParseAddress(text, &a) ? a[15] : -1, last) << text;
  }
  Network n;
  for (const char* bad : {"10.0.0.256", "10.1", "10.0.0.0/33", "10.0.0.0/", "10.0.0.0/-1",
                          "2001:db8::/129", "2001:db8:::1", "host.example", "10.0.0.0/8/8"})
    EXPECT_FALSE(tallyhost::ParseNetwork(bad, &n)) << bad;
}

TEST(AllowListFile, LinesCommentsAndFaultsNamingTheLine) {
  AllowList ok = ParseAllowList("# senders\r\n28000 10.0.0.5, 192.168.1.0/24 # lan\r\n\r\n,,\n , \n"
                                "28001 2001:db8::/32\n28000 ::1\n", "c.allow");   // a line of separators is empty
  EXPECT_TRUE(ok.problems.empty());
  ASSERT_EQ(ok.ports.size(), 2u);
  EXPECT_EQ(ok.ports[28000].size(), 3u);   // two lines add up
  EXPECT_EQ(ok.ports[28001].size(), 1u);

  // A malformed line is named; its port refuses every sender ("28001: why"),
  // or every port does ("*: why") when its port cannot be read. A port keeps
  // the first problem of its lines. A control byte is no part of an address.
  auto parsed = [](const std::string& text) {
    const AllowList l = ParseAllowList(text, "c.allow");
    Texts out = l.problems;
    for (const auto& [port, why] : l.broken) out.push_back(std::to_string(port) + ": " + why);
    if (!l.broken_all.empty()) out.push_back("*: " + l.broken_all);
    return out;
  };
  const std::string mend = " refuses every sender until the file is mended.";
  const std::pair<std::string, Texts> cases[] = {
      {"28000 10.0.0.5\n28001 10.0.0.300\n28002\n",
       {"c.allow line 2: '10.0.0.300' is no address or network; port 28001" + mend,
        "c.allow line 3: port 28002 lists no address; port 28002" + mend,
        "28001: c.allow line 2: '10.0.0.300' is no address or network",
        "28002: c.allow line 3: port 28002 lists no address"}},
      {"28001 10.0.0.5\n28001 10.0.0.300 ::g\n\n28001\n",
       {"c.allow line 2: '10.0.0.300' is no address or network; port 28001" + mend,
        "c.allow line 2: '::g' is no address or network; port 28001" + mend,
        "c.allow line 4: port 28001 lists no address; port 28001" + mend,
        "28001: c.allow line 2: '10.0.0.300' is no address or network"}},
      {"28000 10.0.0.5\nport28001 10.0.0.6\n65536 10.0.0.7\n",
       {"c.allow line 2: 'port28001' is no port number (1 to 65535); every port" + mend,
        "c.allow line 3: '65536' is no port number (1 to 65535); every port" + mend,
        "*: c.allow line 2: 'port28001' is no port number (1 to 65535)"}},
      {WithZeros("28000 10.0.0.1\0/0\n28001 10.0.0.2\n28002 10.0.0.3\x01\n"),
       {"c.allow line 1: the control byte 0x00 is no part of an address; port 28000" + mend,
        "c.allow line 3: the control byte 0x01 is no part of an address; port 28002" + mend,
        "28000: c.allow line 1: the control byte 0x00 is no part of an address",
        "28002: c.allow line 3: the control byte 0x01 is no part of an address"}},
      {WithZeros("28\0" "000 10.0.0.1\n# \x02 in a comment\n"),
       {"c.allow line 1: the control byte 0x00 is no part of an address; every port" + mend,
        "*: c.allow line 1: the control byte 0x00 is no part of an address"}}};
  for (const auto& [text, expected] : cases) EXPECT_EQ(parsed(text), expected) << text;
  EXPECT_EQ(ParseAllowList(cases[1].first, "c.allow").ports[28001].size(), 1u);   // its good lines are kept
  EXPECT_EQ(tallyhost::AllowListPath("/p/site2.cfg"), "/p/site2.allow");
  EXPECT_EQ(tallyhost::AllowListPath("/p.d/cfg"), "/p.d/cfg.allow");
}

// A gate on port 28000 admitting 10.0.0.0/8, with a clock the test drives
// and its reports kept.
class AllowListGate : public ::testing::Test {
 protected:
  void SetUp() override {
    testkit::WriteFile(tmp.File("c.allow"), "28000 10.0.0.0/8\n");
    gate.SetClock([this] { return now; });
    gate.SetReporter([this](const std::string& r) { reports.push_back(r); });
    ASSERT_TRUE(gate.Configure(tmp.File("c.allow")).empty());
  }
  testkit::TempDir tmp;
  tallyhost::SenderGate gate;
  std::chrono::steady_clock::time_point now = std::chrono::steady_clock::time_point{} + std::chrono::hours(1);
  std::vector<std::string> reports;
};

TEST_F(AllowListGate, RefusedSendersReportedOncePerTenMinutesAndCounted) {
  EXPECT_TRUE(gate.Admit(28000, "10.1.1.1"));
  EXPECT_TRUE(gate.Admit(28001, "1.2.3.4"));   // no list for this port
  for (int i = 0; i < 50; ++i) EXPECT_FALSE(gate.Admit(28000, "1.2.3.4"));
  EXPECT_FALSE(gate.Admit(28000, "5.6.7.8"));
  EXPECT_EQ(gate.Refused(28000), 51u);
  EXPECT_EQ(gate.Refused(28001), 0u);
  ASSERT_EQ(reports.size(), 2u);   // one per sender
  EXPECT_NE(reports[0].find("refused a datagram from 1.2.3.4 on port 28000"), std::string::npos);
  now += std::chrono::minutes(9);
  EXPECT_FALSE(gate.Admit(28000, "1.2.3.4"));
  EXPECT_EQ(reports.size(), 2u);
  now += std::chrono::minutes(1);
  EXPECT_FALSE(gate.Admit(28000, "1.2.3.4"));
  ASSERT_EQ(reports.size(), 3u);
  EXPECT_NE(reports[2].find("from 1.2.3.4 on port 28000: 51 since the last report"), std::string::npos) << reports[2];

  // A malformed line: that port refuses everyone, reported; mended, it admits again.
  testkit::WriteFile(tmp.File("c.allow"), "28000 10.0.0.0/8 10.0.0.x\n");
  now += std::chrono::seconds(3);
  EXPECT_FALSE(gate.Admit(28000, "10.1.1.1"));
  EXPECT_NE(gate.Broken(28000).find("line 1: '10.0.0.x'"), std::string::npos);
  ASSERT_GE(reports.size(), 4u);
  EXPECT_NE(reports[3].find("line 1: '10.0.0.x' is no address"), std::string::npos) << reports[3];
  testkit::WriteFile(tmp.File("c.allow"), "28000 10.0.0.0/8 10.0.0.9\n");
  now += std::chrono::seconds(3);
  EXPECT_TRUE(gate.Admit(28000, "10.1.1.1"));
  EXPECT_EQ(gate.Broken(28000), "");
  EXPECT_NE(reports.back().find("mended"), std::string::npos);

  // A folder where the file should be cannot be read: every port refuses.
  std::filesystem::remove(tmp.File("c.allow"));
  std::filesystem::create_directory(tmp.File("c.allow"));
  ASSERT_EQ(gate.Reload().size(), 1u);
  EXPECT_FALSE(gate.Admit(28000, "10.1.1.1"));
  EXPECT_FALSE(gate.Admit(28001, "1.2.3.4"));
}

// Thousands of rotating senders: one line per tracked sender (again at most
// every 10 minutes), then one summary a minute for the rest.
TEST_F(AllowListGate, AFloodOfSendersIsReportedInBoundedLines) {
  auto sender = [](int i) { return "203.0." + std::to_string(i / 250) + "." + std::to_string(i % 250); };
  constexpr int kSenders = 6000;
  const size_t tracked = tallyhost::SenderGate::kMaxSendersTracked;
  for (int i = 0; i < kSenders; ++i) EXPECT_FALSE(gate.Admit(28000, sender(i)));
  EXPECT_EQ(reports.size(), tracked);   // the rest wait for the summary
  for (int round = 1; round <= 20; ++round) {   // every 30 s, every sender once more
    now += std::chrono::seconds(30);
    for (int i = 0; i < kSenders; ++i) EXPECT_FALSE(gate.Admit(28000, sender(i)));
  }
  EXPECT_EQ(gate.Refused(28000), 21u * kSenders);
  size_t summaries = 0, singles = 0;
  for (const std::string& r : reports) (r.find("more senders refused") != std::string::npos ? summaries : singles)++;
  // 10 minutes: the tracked senders once at the start and once after 10
  // minutes (then the room they leave goes to others), one summary a minute.
  EXPECT_LE(summaries, 11u);
  EXPECT_GE(summaries, 9u);
  EXPECT_LE(singles, 3 * tracked);
  const std::string& first_summary =
      *std::find_if(reports.begin(), reports.end(), [](const std::string& r) { return r.find("more senders") != std::string::npos; });
  EXPECT_EQ(first_summary.rfind(std::to_string(kSenders - tracked) + " more senders refused (", 0), 0u) << first_summary;
}

class SendersOverUdp : public ListenerTest {};

TEST_F(SendersOverUdp, RefusedDatagramsNeverReachTheEngineAndAMalformedLineRefusesEveryone) {
  WriteEntries(4);
  // Entry 1 admits another host only, entry 2 the loopback network, entry 3
  // has no list, entry 4's line is malformed.
  const std::string p1 = std::to_string(ports[1]), p4 = std::to_string(ports[4]);
  testkit::WriteFile(ProgramPath() + "/connections.allow",
                     "# lan\n" + p1 + " 10.9.9.9 2001:db8::1\n" + std::to_string(ports[2]) + " 127.0.0.0/8\n" +
                         p4 + " 127.0.0.1/40\n");
  ASSERT_TRUE(Start());
  EXPECT_THAT(OnlyBox("Error: Allow-list is malformed."),
              HasSubstr("connections.allow line 4: '127.0.0.1/40' is no address or network; port " + p4 +
                        " refuses every sender"));
  for (uint32_t i = 1; i <= 5; ++i) SendDatagram(ports[1], ValidDatagram(i));
  for (int entry : {2, 3, 4}) SendDatagram(ports[entry], ValidDatagram(1));
  ASSERT_TRUE(WaitUntil([&] { return LogsCount(dbs[2]) == 1 && LogsCount(dbs[3]) == 1; }));
  auto& gate = tallyhost::TheSenderGate();
  ASSERT_TRUE(WaitUntil([&] { return gate.Refused(ports[1]) == 5 && gate.Refused(ports[4]) == 1; }));
  EXPECT_EQ(LogsCount(dbs[1]) + LogsCount(dbs[4]), 0u);
  EXPECT_FALSE(testkit::Exists(logs[1]));   // no process-log line per refused datagram
  EXPECT_EQ(Form().HandedOver(), 2u);
  // Mended (and read again, as SIGHUP does): the loopback sender passes.
  testkit::WriteFile(ProgramPath() + "/connections.allow", p4 + " 127.0.0.1/32\n");
  EXPECT_TRUE(gate.Reload().empty());
  SendDatagram(ports[4], ValidDatagram(2));
  EXPECT_TRUE(WaitUntil([&] { return LogsCount(dbs[4]) == 1; }));
}

TEST(BoxThrottle, InformationBoxesOncePerSenderAndTextPerTenMinutes) {
  auto inner = std::make_shared<testkit::ScriptedMessageBoxes>();
  auto now = std::chrono::steady_clock::now();
  ThrottledMessageBoxes boxes(inner, [&] { return now; });
  std::vector<std::string> lines;
  boxes.SetWriter([&](const std::string& l) { lines.push_back(l); });
  {
    SenderScope a("10.0.0.1");
    for (int i = 0; i < 3; ++i) EXPECT_EQ(boxes.Show("no hostname", msgbox::vbOKOnly, "Missing", msgbox::Kind::Message), msgbox::vbOK);
    boxes.Show("other text", msgbox::vbOKOnly, "Missing", msgbox::Kind::Message);   // another text: shown
    {
      SenderScope b("10.0.0.2");
      boxes.Show("no hostname", msgbox::vbOKOnly, "Missing", msgbox::Kind::Message);   // another sender: shown
    }
    inner->Push(msgbox::vbYes);
    inner->Push(msgbox::vbNo);
    EXPECT_EQ(boxes.Show("locked", msgbox::vbYesNoCancel, "Record is Locked", msgbox::Kind::LockPrompt), msgbox::vbYes);
    EXPECT_EQ(boxes.Show("locked", msgbox::vbYesNoCancel, "Record is Locked", msgbox::Kind::LockPrompt), msgbox::vbNo);
    now += std::chrono::minutes(9);
    boxes.Show("no hostname", msgbox::vbOKOnly, "Missing", msgbox::Kind::Message);
    now += std::chrono::minutes(1);
    boxes.Show("no hostname", msgbox::vbOKOnly, "Missing", msgbox::Kind::Message);   // 10 minutes on: shown again
  }
  boxes.Show("no hostname", msgbox::vbOKOnly, "Missing", msgbox::Kind::Message);     // outside any datagram: shown
  boxes.Show("no hostname", msgbox::vbOKOnly, "Missing", msgbox::Kind::Message);
  std::vector<std::string> titles;
  for (const auto& s : inner->shown()) titles.push_back(s.title + "/" + s.text);
  EXPECT_EQ(titles, (std::vector<std::string>{"Missing/no hostname", "Missing/other text", "Missing/no hostname",
                                              "Record is Locked/locked", "Record is Locked/locked",
                                              "Missing/no hostname", "Missing/no hostname",
                                              "Missing/no hostname"}));
  EXPECT_EQ(boxes.Suppressed(), 3u);
  EXPECT_EQ(boxes.Suppressed("10.0.0.1"), 3u);
  EXPECT_EQ(boxes.Suppressed("10.0.0.2"), 0u);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[1], "repeated message for 10.0.0.1 not shown (2 since it was shown): Missing: no hostname");
}

TEST_F(SendersOverUdp, DatagramsWithoutHostnameShowOneBox) {
  StartEntries(1);
  auto throttled = std::make_shared<ThrottledMessageBoxes>(boxes_);
  std::vector<std::string> lines;
  throttled->SetWriter([&](const std::string& l) { lines.push_back(l); });
  msgbox::Install(throttled);
  datagram::Builder b;
  b.server_vars = {{"$HOST_IP$", "10.0.0.5"}, {"port", "27960"}};
  for (int i = 0; i < 5; ++i) SendDatagram(ports[1], b.Build());
  ASSERT_TRUE(WaitUntil([&] { return LogsCount(dbs[1]) == 5 && !Form().Busy() && Form().Pending() == 0; }));
  EXPECT_EQ(Boxes().size(), 1u);
  EXPECT_EQ(throttled->Suppressed("127.0.0.1"), 4u);
  EXPECT_EQ(lines.size(), 4u);
  msgbox::Install(boxes_);
}

}  // namespace
