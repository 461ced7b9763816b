// The pure pieces of scoring: the field cut, variable lines, literals, the
// game times, and the datagram builder read back by the engine's decoding.
#include <gtest/gtest.h>

#include <stdexcept>

#include "datagram_builder.h"
#include "datetime.h"
#include "scoring.h"

namespace {

using namespace tallycore;
using Fields = std::array<std::string, 7>;

Fields Cut(const std::string& line) {
  Fields f;
  EXPECT_TRUE(CutRecordFields(line, &f)) << line;
  return f;
}

TEST(ScoringFieldCut, CutsSixFieldsWithTheirSeparators) {
  EXPECT_EQ(Cut("a\tb\tc\td\te\tf"), (Fields{"", "a", "b", "c", "d", "e", "f"}));
  EXPECT_EQ(Cut("\t\tGameStart"), (Fields{"", "", "", "GameStart", "", "", ""}));
  EXPECT_EQ(Cut("\t\t"), (Fields{"", "", "", "", "", "", ""}));
  // A CR ends fields 3 to 6 only when no TAB follows.
  EXPECT_EQ(Cut("\t\tMap\tdm1\r"), (Fields{"", "", "", "Map", "dm1", "", ""}));
  EXPECT_EQ(Cut("\t\tGameEnd\t\t\t3725\r"), (Fields{"", "", "", "GameEnd", "", "", "3725"}));
  EXPECT_EQ(Cut("\t\ta\rb\tc"), (Fields{"", "", "", "a\rb", "c", "", ""}));
  EXPECT_EQ(Cut("k\rx\tv\tt"), (Fields{"", "k\rx", "v", "t", "", "", ""}));
  // Fields past the sixth are ignored.
  EXPECT_EQ(Cut("1\t2\t3\t4\t5\t6\t7\t8"), (Fields{"", "1", "2", "3", "4", "5", "6"}));
  // A line that ends right after a TAB leaves the later fields empty.
  EXPECT_EQ(Cut("a\tb\tc\t"), (Fields{"", "a", "b", "c", "", "", ""}));
}

TEST(ScoringFieldCut, RefusesLinesWithFewerThanTwoTabs) {
  Fields f;
  EXPECT_FALSE(CutRecordFields("", &f));
  EXPECT_FALSE(CutRecordFields("no tabs", &f));
  EXPECT_FALSE(CutRecordFields("one\ttab\r", &f));
}

TEST(ScoringVariableLine, CutsAtTheFirstQuoteAndDropsTheLastCharacter) {
  std::string name, value;
  ASSERT_TRUE(SplitVariableLine("hostname \"A \"quoted\" one\"", &name, &value));
  EXPECT_EQ(name, "hostname");
  EXPECT_EQ(value, "A \"quoted\" one");
  ASSERT_TRUE(SplitVariableLine("netname \"x\"\r", &name, &value));
  EXPECT_EQ(value, "x\"");   // a CR LF line loses only its CR
  ASSERT_TRUE(SplitVariableLine("a\"\"", &name, &value));
  EXPECT_EQ(name, "");
  EXPECT_EQ(value, "");
  EXPECT_FALSE(SplitVariableLine("no quote", &name, &value));
  EXPECT_FALSE(SplitVariableLine("\"first", &name, &value));
  EXPECT_FALSE(SplitVariableLine("last \"", &name, &value));
}

TEST(ScoringLiterals, DoublesTheQuoteCharacters) {
  auto& text = State().ProviderTypeTable[kSlotText];
  text.LiteralPrefix = text.LiteralSuffix = "'";
  EXPECT_EQ(TextLiteral("O'Neil"), "'O''Neil'");
  EXPECT_EQ(TextLiteral("''"), "''''''");
  EXPECT_EQ(TextLiteral(""), "''");
  text.LiteralPrefix = "[";
  text.LiteralSuffix = "]";
  EXPECT_EQ(TextLiteral("a[b]c"), "[a[[b]]c]");
  text.LiteralPrefix = text.LiteralSuffix = "'";
  EXPECT_EQ(ScoreTableNameOf(1), "Scores_0000001");
  EXPECT_EQ(ScoreTableNameOf(12), "Scores_00000012");
}

TEST(ScoringLiterals, OnlyPlainNumbersStandUnquoted) {
  for (const char* ok : {"0", "-1", "+2", "12.5", ".5", "5.", "1e3", "2.5E-2", " 7 "}) {
    EXPECT_TRUE(IsPlainNumber(ok)) << ok;
  }
  for (const char* bad : {"", " ", "-", ".", "1e", "1,5", "0x10", "1 2", "1)", "1; Drop"}) {
    EXPECT_FALSE(IsPlainNumber(bad)) << bad;
  }
  EXPECT_EQ(LeadingNumber("  3725 s"), 3725);
  EXPECT_EQ(LeadingNumber("59.5abc"), 59.5);
  EXPECT_EQ(LeadingNumber("1e2x"), 100);
  EXPECT_EQ(LeadingNumber("abc"), 0);
}

double Dt(const std::string& text) {
  double v = 0;
  EXPECT_TRUE(datetime::Parse(text, &v)) << text;
  return v;
}

TEST(ScoringGameTimes, LogDateStartValue) {
  std::string date, time = "kept";
  EXPECT_EQ(LogDateStartValue("12/31/1999", true, "13:45:10", &date, &time),
            "12/31/1999 13:45:10");
  EXPECT_EQ(LogDateStartValue("12/31/1999", true, "00:00:00", &date, &time),
            "12/31/1999 12:00:01 AM");
  EXPECT_EQ(time, "12:00:01 AM");
  EXPECT_EQ(LogDateStartValue("", true, "", &date, &time), "12:00:01 AM");
  // Only a blank from the 8th character on cuts the date.
  EXPECT_EQ(LogDateStartValue("1 2 1999 x", true, "1:00", &date, &time), "1 2 1999 1:00");
  EXPECT_EQ(date, "1 2 1999");
  time = "kept";
  EXPECT_EQ(LogDateStartValue("12/31/1999 Fri", false, "", &date, &time),
            "12/31/1999 12:00:00 AM");
  EXPECT_EQ(time, "kept");
}

TEST(ScoringGameTimes, GameEndAddsTheOffsetAsADuration) {
  double start = Dt("1999-12-31 09:00:00");
  EXPECT_EQ(datetime::FormatFull(GameEndValue(start, "3725")), "1999-12-31 10:02:05");
  EXPECT_EQ(datetime::FormatFull(GameEndValue(start, "59.5")), "1999-12-31 09:01:00");
  EXPECT_EQ(datetime::FormatFull(GameEndValue(start, "60.5")), "1999-12-31 09:01:00");
  EXPECT_EQ(datetime::FormatFull(GameEndValue(start, "86405")), "2000-01-01 09:00:05");
  EXPECT_EQ(datetime::FormatFull(GameEndValue(start, "  x")), "1999-12-31 09:00:00");
  // No recorded start: the offset alone, a time of day on the zero date.
  EXPECT_EQ(datetime::FormatGeneral(GameEndValue(0, "3725")), "01:02:05");
  EXPECT_EQ(datetime::FormatFull(GameEndValue(0, "90000")), "1899-12-31 01:00:00");
  EXPECT_EQ(datetime::FormatFull(GameEndValue(Dt("2000-01-01 23:59:59"), "1")),
            "2000-01-02 00:00:00");
}

TEST(ScoringGameTimes, LogTimeKeepsTheDateOrTakesTheTimeAlone) {
  double v = 0;
  ASSERT_TRUE(LogTimeValue(Dt("1999-12-31 09:00:00"), "10:00:00", &v));
  EXPECT_EQ(datetime::FormatFull(v), "1999-12-31 10:00:00");
  ASSERT_TRUE(LogTimeValue(Dt("1999-12-31"), "12:00:01 AM", &v));
  EXPECT_EQ(datetime::FormatFull(v), "1999-12-31 00:00:01");
  ASSERT_TRUE(LogTimeValue(0, "13:45:10", &v));
  EXPECT_EQ(datetime::FormatFull(v), "1899-12-30 13:45:10");
  EXPECT_FALSE(LogTimeValue(0, "25:00:00", &v));
}

std::string Text(const std::vector<uint8_t>& bytes) { return {bytes.begin(), bytes.end()}; }

TEST(ScoringDatagram, PacketNumbersSurviveTheEnginesDecoding) {
  for (uint32_t n : {0u, 1u, 255u, 291u, 4096u, 65535u, 65536u, datagram::kMaxPacketNumber}) {
    datagram::Builder b;
    b.packet_number = n;
    EXPECT_EQ(DecodePacketNumber(Text(b.Build())), static_cast<int32_t>(n)) << n;
  }
  datagram::Builder wrap;
  wrap.packet_number = datagram::kMaxPacketNumber + 2;
  EXPECT_EQ(DecodePacketNumber(Text(wrap.Build())), 1);
}

TEST(ScoringDatagram, LayoutReadsBackAsBuilt) {
  datagram::Builder b;
  b.server_vars = {{"hostname", "A \"B\""}, {"port", "27960"}, {"", "empty name"}};
  b.records = {"\t\tGameStart", "a\tb\tKill\tw\t1\t2"};
  b.player_var_lines = {"netname \"a\"", "model \"m\""};
  b.packet_number = 291;
  std::string text = Text(b.Build());
  EXPECT_EQ(text.size(), b.Size());
  EXPECT_EQ(text.substr(4, 4), std::string("\x00\x01\x02\x03", 4));
  std::vector<std::string> names, values;
  size_t nul = 0;
  ReadVariableBlock(text, &names, &values, &nul);
  EXPECT_EQ(names, (std::vector<std::string>{"", "hostname", "port", ""}));
  EXPECT_EQ(values, (std::vector<std::string>{"", "A \"B\"", "27960", "empty name"}));
  const char kTail[] = "\t\tGameStart\na\tb\tKill\tw\t1\t2\n\0netname \"a\"\nmodel \"m\"\n";
  EXPECT_EQ(text.substr(nul + 1), std::string(kTail, sizeof kTail - 1));
}

TEST(ScoringDatagram, RefusesWhatCannotBeLaidOut) {
  datagram::Builder b;
  b.records = {"two\nlines"};
  EXPECT_THROW(b.Build(), std::invalid_argument);
  b.records = {std::string("\0x", 2)};
  EXPECT_THROW(b.Build(), std::invalid_argument);
  b.records.clear();
  b.server_vars = {{"a\"b", "v"}};
  EXPECT_THROW(b.Build(), std::invalid_argument);
}

TEST(ScoringDatagram, SplitKeepsOrderSizeAndGroups) {
  datagram::Builder log;
  log.server_vars = {{"hostname", "Alpha"}, {"$HOST_IP$", "192.0.2.1"}, {"port", "27960"}};
  log.packet_number = 41;
  for (int i = 0; i < 300; ++i) {
    log.records.push_back("p" + std::to_string(i % 16) + "\tq\tKill\tRail\t1\t" + std::to_string(i));
    if (i % 50 == 0) {
      log.records.push_back("\t\tLogDate\t12/31/1999");
      log.records.push_back("\t\tLogTime\t10:00:00");
    }
  }
  for (int p = 0; p < 16; ++p) {
    log.player_var_lines.push_back("netname \"p" + std::to_string(p) + "\"");
    for (int v = 0; v < 5; ++v) log.player_var_lines.push_back("v" + std::to_string(v) + " \"x\"");
  }
  auto parts = datagram::Split(log, 1024);
  ASSERT_GT(parts.size(), 5u);
  std::vector<std::string> records, players;
  std::string last_netname;
  for (size_t i = 0; i < parts.size(); ++i) {
    EXPECT_EQ(parts[i].packet_number, 41 + i);
    EXPECT_LE(parts[i].Build().size(), 1024u);
    EXPECT_EQ(parts[i].server_vars, log.server_vars);
    for (const auto& r : parts[i].records) records.push_back(r);
    // Each datagram's player lines start with a netname line.
    if (!parts[i].player_var_lines.empty()) {
      EXPECT_EQ(parts[i].player_var_lines[0].rfind("netname ", 0), 0u);
    }
    for (size_t k = 0; k < parts[i].player_var_lines.size(); ++k) {
      const std::string& l = parts[i].player_var_lines[k];
      // A group carried over repeats its (already seen) netname line.
      if (k == 0 && !players.empty() && l == last_netname) continue;
      if (l.rfind("netname ", 0) == 0) last_netname = l;
      players.push_back(l);
    }
    if (!parts[i].records.empty()) {   // a LogDate never ends a datagram
      EXPECT_EQ(parts[i].records.back().find("LogDate"), std::string::npos);
    }
  }
  EXPECT_EQ(records, log.records);
  EXPECT_EQ(players, log.player_var_lines);
  EXPECT_THROW(datagram::Split(log, 60), std::length_error);
}

}  // namespace
