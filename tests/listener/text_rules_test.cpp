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
  // A blank after the name leaves the default, no digits give 0, the name is found as a substring.
  for (auto [text, capacity] : {std::pair{"MAXCON=3", 3}, {"maxcon=0", 1}, {"maxcon=-5", 1}, {"maxcon= 5", 10},
                                {"maxcon=2.5", 2}, {"maxcon=3.5", 4}, {"maxcon=abc", 1}, {"xmaxcon=7", 7}})
    EXPECT_EQ(ParseCommandLine(text).capacity, capacity) << text;
  EXPECT_EQ(ParseCommandLine("cfgfile= x").connections_file, "connections.cfg");
  EXPECT_THROW(ParseCommandLine("maxcon=99999999999"), Failure);
  EXPECT_THROW(ParseCommandLine("logout=40000"), Failure);
}

TEST(TextRules, NumbersPrefixRoundingSingleAndFormat) {
  EXPECT_EQ(RoundToInt32(28000.5), 28000);
  EXPECT_EQ(RoundToInt32(28003.5), 28004);
  EXPECT_EQ(RoundToInt16(32767.4), 32767);   // both ends of the range belong
  EXPECT_EQ(RoundToInt16(-32768.5), -32768);
  try {
    RoundToInt16(32767.5);
    ADD_FAILURE() << "no overflow";
  } catch (const Failure& f) {
    EXPECT_EQ(f.Number(), kErrOverflow);
  }
  EXPECT_FLOAT_EQ(ParseSingle(" 1234.5 "), 1234.5f);
  EXPECT_THROW(ParseSingle("12abc"), Failure);
  try {
    ParseSingle("1e39");
    ADD_FAILURE() << "no overflow";
  } catch (const Failure& f) {
    EXPECT_EQ(f.Number(), kErrOverflow);
  }
  EXPECT_EQ(FormatNumber(1.3 * 750), "975");
  EXPECT_EQ(FormatNumber(1.05 * 1234), "1295.7");
  EXPECT_EQ(FormatNumber(0), "0");
}

TEST(TextRules, ConnectionStringForms) {
  using Case = std::pair<std::string, std::string>;
  for (const auto& [in, out] : {Case{"Provider=J;Persist Security Info=False;Data Source=/p/test.mdb",
                                     "Provider=J;Data Source=/p/test.mdb"},
                                {"Provider=X;Data Source=a", "Provider=X;Data Source=a"},
                                {"Provider=X;Persist Security Info=True", "Provider=X;"}})
    EXPECT_EQ(DisplayForm(in), out);
  EXPECT_EQ(ReducedDatabaseText(
                "Provider=SQLite;User Password=pw;Data Source=/d/x.db;Persist Security Info=False"),
            "Provider=SQLite;Data Source=/d/x.db;");
  EXPECT_EQ(DatabasePath("Provider=X;Data Source=/a/b.mdb;User ID=u"), "/a/b.mdb");
  EXPECT_EQ(DatabasePath("Provider=X;Data Source=/a/b.mdb"), "/a/b.mdb");
  EXPECT_EQ(DatabasePath("Provider=X"), "");

  // The logon test string: both settings go right after Persist Security
  // Info, the password first.
  const std::string psi = "Provider=P;Persist Security Info=False;";
  const struct { const char *in, *user, *password; std::string out; } logons[] = {
      {"Provider=P;Persist Security Info=False;Data Source=/d", "U", "W", psi + "User Password=W;User ID=U;Data Source=/d"},
      {"Provider=P;Data Source=/d", "", "", psi + "Data Source=/d"},
      {"Provider=P;User ID=old name;Data Source=/d", "new", "", psi + "User ID=new;Data Source=/d"},
      {"Provider=P;User ID=old;Data Source=/d", "", "", psi + "User ID=old;Data Source=/d"},
      {"Provider=P", "U", "W", psi + "User Password=W;User ID=U"},
      {"Provider=P", "", "W", psi + "User Password=W"}};
  for (const auto& c : logons) EXPECT_EQ(LogonTestString(c.in, c.user, c.password), c.out) << c.in;
}
