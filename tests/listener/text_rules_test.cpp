// Command line, number conversions and connection-string editing.
#include <gtest/gtest.h>

#include "main_module.h"
#include "text_rules.h"

using namespace tallyhost;

TEST(CommandLine, OptionsDefaultsAndLimits) {
  CommandLine c = ParseCommandLine("");
  EXPECT_EQ(c.capacity, 10);
  EXPECT_EQ(c.rawlog, 1);
  EXPECT_EQ(c.connections_file, "connections.cfg");
  EXPECT_FALSE(c.headless);
  c = ParseCommandLine("maxcon=25 logout=0 cfgfile=Site2.CFG HEADLESS=1");
  EXPECT_EQ(c.capacity, 25);
  EXPECT_EQ(c.rawlog, 0);
  EXPECT_EQ(c.connections_file, "site2.cfg");
  EXPECT_TRUE(c.headless);
  EXPECT_EQ(ParseCommandLine("MAXCON=3").capacity, 3);
  EXPECT_EQ(ParseCommandLine("maxcon=0").capacity, 1);
  EXPECT_EQ(ParseCommandLine("maxcon=-5").capacity, 1);
  EXPECT_EQ(ParseCommandLine("maxcon= 5").capacity, 10);   // name followed by a blank
  EXPECT_EQ(ParseCommandLine("maxcon=2.5").capacity, 2);
  EXPECT_EQ(ParseCommandLine("maxcon=3.5").capacity, 4);
  EXPECT_EQ(ParseCommandLine("maxcon=abc").capacity, 1);   // no digits give 0
  EXPECT_EQ(ParseCommandLine("xmaxcon=7").capacity, 7);    // substring search
  EXPECT_EQ(ParseCommandLine("cfgfile= x").connections_file, "connections.cfg");
  EXPECT_THROW(ParseCommandLine("maxcon=99999999999"), Failure);
  EXPECT_THROW(ParseCommandLine("logout=40000"), Failure);
}

TEST(TextRules, NumbersPrefixRoundingSingleAndFormat) {
  EXPECT_EQ(NumberPrefix(" 28003.5xyz"), 28003.5);
  EXPECT_EQ(NumberPrefix("-12"), -12);
  EXPECT_EQ(NumberPrefix("abc"), 0);
  EXPECT_EQ(RoundToInt32(28000.5), 28000);
  EXPECT_EQ(RoundToInt32(28003.5), 28004);
  EXPECT_FLOAT_EQ(ParseSingle(" 1234.5 "), 1234.5f);
  EXPECT_THROW(ParseSingle("12abc"), Failure);
  EXPECT_THROW(ParseSingle(""), Failure);
  EXPECT_EQ(FormatNumber(1.3 * 750), "975");
  EXPECT_EQ(FormatNumber(1.05 * 1234), "1295.7");
  EXPECT_EQ(FormatNumber(0), "0");
}

TEST(TextRules, DisplayReducedAndDatabasePath) {
  EXPECT_EQ(DisplayForm("Provider=J;Persist Security Info=False;Data Source=/p/test.mdb"),
            "Provider=J;Data Source=/p/test.mdb");
  EXPECT_EQ(DisplayForm("Provider=X;Data Source=a"), "Provider=X;Data Source=a");
  EXPECT_EQ(DisplayForm("Provider=X;Persist Security Info=True"), "Provider=X;");
  EXPECT_EQ(ReducedDatabaseText(
                "Provider=SQLite;User Password=pw;Data Source=/d/x.db;Persist Security Info=False"),
            "Provider=SQLite;Data Source=/d/x.db;");
  EXPECT_EQ(DatabasePath("Provider=X;Data Source=/a/b.mdb;User ID=u"), "/a/b.mdb");
  EXPECT_EQ(DatabasePath("Provider=X;Data Source=/a/b.mdb"), "/a/b.mdb");
  EXPECT_EQ(DatabasePath("Provider=X"), "");
}

TEST(TextRules, LogonTestString) {
  // Both settings go right after Persist Security Info, the password first.
  EXPECT_EQ(LogonTestString("Provider=P;Persist Security Info=False;Data Source=/d", "U", "W"),
            "Provider=P;Persist Security Info=False;User Password=W;User ID=U;Data Source=/d");
  EXPECT_EQ(LogonTestString("Provider=P;Data Source=/d", "", ""),
            "Provider=P;Persist Security Info=False;Data Source=/d");
  EXPECT_EQ(LogonTestString("Provider=P;User ID=old name;Data Source=/d", "new", ""),
            "Provider=P;Persist Security Info=False;User ID=new;Data Source=/d");
  EXPECT_EQ(LogonTestString("Provider=P;User ID=old;Data Source=/d", "", ""),
            "Provider=P;Persist Security Info=False;User ID=old;Data Source=/d");
  EXPECT_EQ(LogonTestString("Provider=P", "U", "W"),
            "Provider=P;Persist Security Info=False;User Password=W;User ID=U");
  EXPECT_EQ(LogonTestString("Provider=P", "", "W"),
            "Provider=P;Persist Security Info=False;User Password=W");
}
