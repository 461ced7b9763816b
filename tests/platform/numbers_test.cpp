// The one number reader of the programs: leading numbers and whole texts.
#include <gtest/gtest.h>

#include <cmath>

#include "numbers.h"

TEST(Numbers, LeadingReadsSignDigitsFractionAndExponentAfterBlanks) {
  const struct { const char* text; double value; } cases[] = {
      {" 28003.5xyz", 28003.5}, {"\t-12", -12}, {"+.5", 0.5}, {"7.", 7},   {"1e3x", 1000},
      {"2E-1", 0.2},            {"1e", 1},      {"1e+", 1},   {"abc", 0},  {"", 0},
      {"-", 0},                 {".", 0},       {"- 5", 0},   {"12 34", 12}};
  for (const auto& c : cases) EXPECT_EQ(numbers::Leading(c.text), c.value) << c.text;
}

TEST(Numbers, WholeTakesOneNumberWithTheCallersBlanksAroundIt) {
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
