// Day serials (reading date-time texts, the general and full formats) and
// the one number reader of the programs (leading numbers, whole texts).
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "datetime.h"
#include "numbers.h"

namespace {

using datetime::FromParts;

TEST(DateTime, AcceptedAndRefusedTexts) {
  const double d = FromParts(2026, 1, 2, 0, 0, 0);
  const std::pair<const char*, double> accepted[] = {
      {"12:00:00 AM", 0.0}, {"12:00:00 PM", 0.5}, {"12:00:01 am", 1.0 / 86400},
      {"1:30 PM", (13 * 3600 + 30 * 60) / 86400.0}, {"2026-01-02", d}, {"1/2/2026", d}, {" 01/02/2026 ", d},
      {"2/29/2024", FromParts(2024, 2, 29, 0, 0, 0)}, {"2/29/2000", FromParts(2000, 2, 29, 0, 0, 0)},
      {"12/31/9999", FromParts(9999, 12, 31, 0, 0, 0)}, {"0100-01-01", FromParts(100, 1, 1, 0, 0, 0)},
      {"12/31/1999 1:45:10 PM", FromParts(1999, 12, 31, 13, 45, 10)},
      {"2026-01-02 03:04", FromParts(2026, 1, 2, 3, 4, 0)}, {"13:45", FromParts(1899, 12, 30, 13, 45, 0)}};
  for (const auto& [text, serial] : accepted) {
    double parsed = std::nan("");
    EXPECT_TRUE(datetime::Parse(text, &parsed)) << text;
    EXPECT_DOUBLE_EQ(parsed, serial) << text;
  }
  double ignored;
  for (const char* bad : {"", "  ", "24:00:00", "23:60", "23:59:60", "2023-02-29", "2/29/1900", "2/30/2024",
                          "12/31/99", "1/1/10000", "2026-13-01", "2026-01-02 x", "2026-01-02 25:00", "tomorrow",
                          "10:00 A", "0099-01-01", "0:30 AM", "13:00 PM"})
    EXPECT_FALSE(datetime::Parse(bad, &ignored)) << bad;
}

TEST(DateTime, SerialsCountDaysFromTheZeroDateAndFormatBack) {
  EXPECT_DOUBLE_EQ(FromParts(1899, 12, 30, 0, 0, 0), 0.0);
  EXPECT_DOUBLE_EQ(FromParts(1900, 1, 1, 0, 0, 0), 2.0);
  EXPECT_DOUBLE_EQ(FromParts(1999, 12, 31, 12, 0, 0), 36525.5);
  // Before the zero date the fraction is still a positive time of day.
  EXPECT_DOUBLE_EQ(FromParts(1899, 12, 29, 6, 0, 0), -1.25);
  EXPECT_EQ(datetime::FormatFull(-1.25), "1899-12-29 06:00:00");
  // The general format drops midnight and the zero date.
  EXPECT_EQ(datetime::FormatGeneral(FromParts(2026, 1, 2, 0, 0, 0)), "2026-01-02");
  EXPECT_EQ(datetime::FormatGeneral(FromParts(2026, 1, 2, 3, 4, 5)), "2026-01-02 03:04:05");
  EXPECT_EQ(datetime::FormatGeneral(0.5), "12:00:00");
  EXPECT_EQ(datetime::FormatGeneral(0.0), "00:00:00");
  EXPECT_EQ(datetime::FormatFull(0.0), "1899-12-30 00:00:00");
  // Rounding to the second carries into the next day.
  EXPECT_EQ(datetime::FormatFull(1.0 - 0.4 / 86400), "1899-12-31 00:00:00");
  EXPECT_EQ(datetime::FormatFull(-1.0 - (86400 - 0.4) / 86400), "1899-12-28 00:00:00");

  // Both formats read back to the same serial over the whole range.
  for (double s = -657434; s < 2958466; s += 12345.6789) {
    for (const std::string& text : {datetime::FormatFull(s), datetime::FormatGeneral(s)}) {
      double back;
      ASSERT_TRUE(datetime::Parse(text, &back)) << s;
      EXPECT_NEAR(back, s, 0.6 / 86400) << s;
    }
  }
  // Serials that are no date do not crash formatting.
  for (double bad : {std::nan(""), std::numeric_limits<double>::infinity(), 1e300, -1e300})
    EXPECT_EQ(datetime::FormatFull(bad).size(), 19u) << bad;
}

TEST(Numbers, LeadingAndWholeReadSignDigitsFractionAndExponent) {
  const struct { const char* text; double value; } leading[] = {
      {" 28003.5xyz", 28003.5}, {"\t-12", -12}, {"+.5", 0.5}, {"7.", 7},   {"1e3x", 1000},
      {"2E-1", 0.2},            {"1e", 1},      {"1e+", 1},   {"abc", 0},  {"", 0},
      {"-", 0},                 {".", 0},       {"- 5", 0},   {"12 34", 12}};
  for (const auto& c : leading) EXPECT_EQ(numbers::Leading(c.text), c.value) << c.text;

  // Whole takes one number with the caller's blanks around it.
  for (const char* ok : {"-1", "+2", "12.5", ".5", "5.", "1e3", " 7 ", "\t8\t"})
    EXPECT_TRUE(numbers::Whole(ok)) << ok;
  for (const char* bad : {"", " ", "-", ".", "1e", "e3", "1,5", "0x10", "1 2", "1); Drop", "inf", "nan", "+-1"})
    EXPECT_FALSE(numbers::Whole(bad)) << bad;
  EXPECT_EQ(numbers::Whole(" -2.5e1 "), -25);
  EXPECT_FALSE(numbers::Whole("1\r"));                       // not a blank by default
  EXPECT_EQ(numbers::Whole("1\r", " \r"), 1);
  EXPECT_FALSE(numbers::Whole("\t1", " \r"));
  EXPECT_TRUE(std::isinf(*numbers::Whole("1e999")));          // read, too large for a double
}

}  // namespace
