// The benchmarks' listener traffic: datagrams of about the asked size, one
// score record in each past a game's opening, variable values a Cvars row
// holds, servers in turns.
#include "listener_traffic.h"

#include <gtest/gtest.h>

#include <string>

#include "datagram_builder.h"

namespace benchkit {
namespace {

int Count(const std::string& text, const std::string& what) {
  int n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

TEST(ListenerTraffic, EveryKillDatagramIsAboutTheSizeAndHoldsOneKill) {
  const auto game = PaddedGame(2, 50, 1024);
  int kills = 0;
  for (const auto& d : game) {
    const std::string text(d.begin(), d.end());
    EXPECT_LE(d.size(), 1024u);
    const int here = Count(text, "\tKill\t");
    EXPECT_LE(here, 1);
    if (here == 1) {
      EXPECT_GE(d.size(), 960u);
    }
    kills += here;
  }
  EXPECT_EQ(kills, 50);
}

TEST(ListenerTraffic, ServerVariableValuesFitACvarsRow) {
  for (const auto& d : PaddedGame(0, 3, 1024)) {
    const std::string text(d.begin(), d.end());
    const size_t end = text.find('\0', datagram::kHeaderSize);
    ASSERT_NE(end, std::string::npos);
    size_t at = datagram::kHeaderSize;
    while (at < end) {
      const size_t lf = text.find('\n', at);
      const std::string line = text.substr(at, lf - at);
      const size_t quote = line.find('"');
      ASSERT_NE(quote, std::string::npos) << line;
      EXPECT_LE(line.size() - quote - 2, 250u) << line.substr(0, 40);
      at = lf + 1;
    }
  }
}

TEST(ListenerTraffic, ServersTakeTurnsAndTheCountIsAboutTheOneAsked) {
  const Traffic t = ListenerTraffic(3, 300, 1024);
  EXPECT_NEAR(static_cast<double>(t.datagrams.size()), 300, 6);
  ASSERT_EQ(t.server.size(), t.datagrams.size());
  for (size_t i = 0; i < 30; ++i) EXPECT_EQ(t.server[i], static_cast<int>(i % 3));
  long long records = 0;
  size_t bytes = 0;
  for (const auto& d : t.datagrams) {
    const std::string text(d.begin(), d.end());
    records += Count(text, "\tKill\t") + Count(text, "\tPlayerConnect\t");
    bytes += d.size();
  }
  EXPECT_EQ(t.score_records, records);
  EXPECT_EQ(t.bytes, bytes);
}

}  // namespace
}  // namespace benchkit
