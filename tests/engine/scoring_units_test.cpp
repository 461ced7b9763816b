// The pure pieces of scoring: the field cut, variable lines, literals and
// numbers, the game times, and datagrams as the builder lays them out.
#include <gtest/gtest.h>

#include <algorithm>

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

TEST(ScoringUnits, FieldCutAndVariableLines) {
  EXPECT_EQ(Cut("\t\tGameStart"), (Fields{"", "", "", "GameStart", "", "", ""}));
  // A CR ends fields 3 to 6 only when no TAB follows; fields past the sixth are ignored.
  EXPECT_EQ(Cut("\t\tGameEnd\t\t\t3725\r"), (Fields{"", "", "", "GameEnd", "", "", "3725"}));
  EXPECT_EQ(Cut("k\rx\tv\ta\rb\tc"), (Fields{"", "k\rx", "v", "a\rb", "c", "", ""}));
  EXPECT_EQ(Cut("1\t2\t3\t4\t5\t6\t7"), (Fields{"", "1", "2", "3", "4", "5", "6"}));
  Fields f;
  for (const char* bad : {"", "no tabs", "one\ttab\r"}) EXPECT_FALSE(CutRecordFields(bad, &f));

  std::string name, value;
  ASSERT_TRUE(SplitVariableLine("hostname \"A \"quoted\" one\"", &name, &value));
  EXPECT_EQ(name + "=" + value, "hostname=A \"quoted\" one");
  ASSERT_TRUE(SplitVariableLine("netname \"x\"\r", &name, &value));
  EXPECT_EQ(value, "x\"");   // a CR LF line loses only its CR
  for (const char* bad : {"no quote", "\"first", "last \""})
    EXPECT_FALSE(SplitVariableLine(bad, &name, &value)) << bad;
}

TEST(ScoringUnits, LiteralsAndUnquotedNumbers) {
  auto& text = State().ProviderTypeTable[kSlotText];
  text.LiteralPrefix = text.LiteralSuffix = "'";
  EXPECT_EQ(TextLiteral("O'Neil"), "'O''Neil'");
  EXPECT_EQ(TextLiteral("''"), "''''''");

  // The grammar is numbers::Whole's (platform base_test); here the blanks and the range.
  for (const char* ok : {" 7 ", "1\r", "-2147483648", "2147483647"})   // both bounds belong
    EXPECT_TRUE(IsPlainNumber(ok, kIntegerMin, kIntegerMax)) << ok;
  for (const char* bad : {"\t1", "-", ".", "1); Drop", "1e999", "2147483648", "-2147483649"})
    EXPECT_FALSE(IsPlainNumber(bad, kIntegerMin, kIntegerMax)) << bad;
}

TEST(ScoringUnits, GameTimes) {
  std::string date, time = "kept";
  EXPECT_EQ(LogDateStartValue("12/31/1999", true, "00:00:00", &date, &time), "12/31/1999 12:00:01 AM");
  EXPECT_EQ(LogDateStartValue("", true, "", &date, &time), "12:00:01 AM");
  // Only a blank from the 8th character on cuts the date.
  EXPECT_EQ(LogDateStartValue("1 2 1999 x", true, "1:00", &date, &time), "1 2 1999 1:00");
  EXPECT_EQ(LogDateStartValue("1/2/99 x", true, "1:00", &date, &time), "1/2/99 x 1:00");
  EXPECT_EQ(date, "1/2/99 x");
  time = "kept";
  EXPECT_EQ(LogDateStartValue("12/31/1999 Fri", false, "", &date, &time), "12/31/1999 12:00:00 AM");
  EXPECT_EQ(time, "kept");

  double start = 0, last_day = 0, first_day = 0;
  ASSERT_TRUE(datetime::Parse("1999-12-31 09:00:00", &start));
  ASSERT_TRUE(datetime::Parse("9999-12-31 00:00:00", &last_day));
  ASSERT_TRUE(datetime::Parse("0100-01-01 00:00:01", &first_day));
  const struct { double start; const char* offset; const char* end; } ends[] = {
      {start, "3725", "1999-12-31 10:02:05"}, {start, "59.5", "1999-12-31 09:01:00"},   // halves to even
      {start, "60.5", "1999-12-31 09:01:00"}, {start, "  x", "1999-12-31 09:00:00"},
      {0, "90000", "1899-12-31 01:00:00"},                                              // a day or more: carried
      {start, "1e12", "rejected"}, {start, "1e999", "rejected"},                        // no date-time that far
      {last_day, "86399", "9999-12-31 23:59:59"}, {last_day, "86400", "rejected"},
      {first_day, "-1", "0100-01-01 00:00:00"}};
  for (const auto& e : ends) {
    double end = 0;
    EXPECT_EQ(GameEndValue(e.start, e.offset, &end) ? datetime::FormatFull(end) : "rejected", e.end) << e.offset;
  }
}

TEST(ScoringUnits, HeaderAndVariableBlock) {
  for (uint32_t n : {255u, 291u, 4096u, 65536u, datagram::kMaxPacketNumber}) {
    datagram::Builder b;
    b.packet_number = n;
    const auto bytes = b.Build();
    EXPECT_EQ(DecodePacketNumber(std::string(bytes.begin(), bytes.end())), static_cast<int32_t>(n)) << n;
  }
  EXPECT_EQ(DecodePacketNumber(std::string("\0\0\0\0\0\1\2\3", 8)), 291);   // powers of 16

  std::vector<std::string> names, values;   // a block line without LF before the NUL is not read
  size_t nul = 0;
  ReadVariableBlock(std::string(20, '\1') + "a \"1\"\n\nb \"2\"" + std::string(1, '\0'), &names, &values, &nul);
  EXPECT_EQ(names, (std::vector<std::string>{"", "a"}));
  EXPECT_EQ(nul, 32u);
}

TEST(ScoringUnits, SplitKeepsOrderSizeAndGroups) {
  datagram::Builder log;
  log.server_vars = {{"hostname", "Alpha"}};
  log.packet_number = 41;
  for (int i = 0; i < 300; ++i) {
    log.records.push_back("p" + std::to_string(i % 16) + "\tq\tKill\tRail\t1\t" + std::to_string(i));
    if (i % 50 == 0) log.records.push_back("\t\tLogDate\t12/31/1999");
  }
  for (int p = 0; p < 16; ++p) {
    log.player_var_lines.push_back("netname \"p" + std::to_string(p) + "\"");
    for (int v = 0; v < 5; ++v) log.player_var_lines.push_back("v" + std::to_string(v) + " \"x\"");
  }
  auto parts = datagram::Split(log, 1024);
  ASSERT_GT(parts.size(), 5u);
  std::vector<std::string> records, players;
  for (size_t i = 0; i < parts.size(); ++i) {
    EXPECT_EQ(parts[i].packet_number, 41 + i);
    EXPECT_LE(parts[i].Build().size(), 1024u);
    records.insert(records.end(), parts[i].records.begin(), parts[i].records.end());
    if (!parts[i].records.empty()) {   // a LogDate stays with the record after it
      EXPECT_EQ(parts[i].records.back().find("LogDate"), std::string::npos);
    }
    const auto& lines = parts[i].player_var_lines;
    if (lines.empty()) continue;
    EXPECT_EQ(lines[0].rfind("netname ", 0), 0u);   // a carried group repeats its netname
    bool repeated = !players.empty() && lines[0] == *std::find_if(players.rbegin(), players.rend(),
        [](const std::string& l) { return l.rfind("netname ", 0) == 0; });
    players.insert(players.end(), lines.begin() + (repeated ? 1 : 0), lines.end());
  }
  EXPECT_EQ(records, log.records);
  EXPECT_EQ(players, log.player_var_lines);
  EXPECT_THROW(datagram::Split(log, 60), std::length_error);
}

}  // namespace
