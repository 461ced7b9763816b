// Connection strings read and checked without opening anything: the
// settings readers (one look-up and many), the logged form, and the checks
// that Open makes of a provider's settings.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>

#include "ado_kit.h"
#include "test_env.h"

namespace {

struct Case {
  const char* cs;
  const char* name;
  const char* value;
};

// The same text answers the same by either reader.
void ExpectSetting(const Case& c) {
  EXPECT_EQ(ado::ConnectionSetting(c.cs, c.name), c.value) << c.cs << " | " << c.name;
  EXPECT_EQ(ado::ConnectionSettings(c.cs).Get(c.name), c.value) << c.cs << " | " << c.name;
}

TEST(ConnectionSettings, NamesBlanksQuotesAndRepeatsReadAlikeByEitherReader) {
  const Case cases[] = {
      // Names: any letter case, blanks around them; the first of a name wins.
      {"Provider=SQLite;DATA SOURCE=a.db", "Data Source", "a.db"},
      {" \t data source \r\n= a.db ;", "Data Source", "a.db"},
      {"Mode=Read;mode=ReadWrite", "Mode", "Read"},
      {"Data Source=a.db", "Data", ""},
      {"Data Source=a.db", "Data Sourc", ""},
      {"Data Source=a.db", "Data Source=", ""},
      {"Data Source=a.db", "", ""},
      {"=x;Mode=Read", "", "x"},
      // Values: blanks around taken off, an "=" inside kept.
      {"Mode=  Read  ;x=1", "Mode", "Read"},
      {"Options=a=b;x=1", "Options", "a=b"},
      {"Mode=", "Mode", ""},
      {"Mode=;Mode=Read", "Mode", ""},
      // Quotes: either kind, a ";" and the other kind inside, a doubled quote as one.
      {"Password=\"a;b\";Mode=Read", "Password", "a;b"},
      {"Password='it''s;x';Mode=Read", "Password", "it's;x"},
      {"Password='say \"hi\"';Mode=Read", "Password", "say \"hi\""},
      {"Password=\"\"\"\";Mode=Read", "Password", "\""},
      {"Password='''';Mode=Read", "Password", "'"},
      {"Password='';Mode=Read", "Password", ""},
      {"Password=  'a b'  ;Mode=Read", "Password", "a b"},
      {"Password='a''", "Password", "a'"},
      {"Password='a;Mode=Read", "Password", "a;Mode=Read"},
      {"Password='a;Mode=Read", "Mode", ""},
      {"Password='a'junk;Mode=Read", "Password", "a"},
      {"Password='a'junk;Mode=Read", "Mode", "Read"},
      {"Password='a';junk=1", "junk", "1"},
      // A quote not at the start is plain text.
      {"Password=a'b;Mode=Read", "Password", "a'b"},
      {"Password=a'b;Mode=Read", "Mode", "Read"},
      // Text without "=" up to a ";" is no setting.
      {"junk;Mode=Read", "Mode", "Read"},
      {"junk;;Mode=Read;", "Mode", "Read"},
      {"junk; Mode = Read", "junk; Mode", ""},
      {";;;", "Mode", ""},
      {"", "Mode", ""},
      {"Mode", "Mode", ""},
  };
  for (const Case& c : cases) ExpectSetting(c);

  // One reading answers every look-up, and a copy stands on its own.
  ado::ConnectionSettings settings("Provider=SQLite;Data Source='/tmp/a;b.db';Busy Timeout=40;Mode=Read");
  const ado::ConnectionSettings copy = settings;
  settings = ado::ConnectionSettings("");
  EXPECT_EQ(copy.Get("provider"), "SQLite");
  EXPECT_EQ(copy.Get("data source"), "/tmp/a;b.db");
  EXPECT_EQ(copy.Get("BUSY TIMEOUT"), "40");
  EXPECT_EQ(copy.Get("Mode"), "Read");
  EXPECT_EQ(copy.Get("Location"), "");
  EXPECT_EQ(settings.Get("Provider"), "");
  // Many settings, the last one found as well as the first.
  std::string many;
  for (int i = 0; i < 100; ++i) many += "K" + std::to_string(i) + "=v" + std::to_string(i) + ";";
  EXPECT_EQ(ado::ConnectionSettings(many).Get("k99"), "v99");
  EXPECT_EQ(ado::ConnectionSetting(many, "K0"), "v0");
}

TEST(ConnectionSettings, TheLoggedFormHasNoPasswordInAnySpelling) {
  const std::pair<const char*, const char*> cases[] = {
      {"Provider=X;User Password=secret;Data Source=a.db", "Provider=X;Data Source=a.db"},
      {"Provider=X;Data Source=d;PASSWORD='a;b';Mode=Read", "Provider=X;Data Source=d;Mode=Read"},
      {"Provider=X;Password=\"x\"\";y\";Mode=Read", "Provider=X;Mode=Read"},
      {"Provider=X; password =1;Password=2;user password=3;Mode=Read", "Provider=X;Mode=Read"},
      {"Provider=X;Mode=Read;Password=1", "Provider=X;Mode=Read;"},
      {"Password=s", ""},
      {"Provider=X;Passwords=keep", "Provider=X;Passwords=keep"},
      {"Provider=X;Persist Security Info=False;Mode=Read", "Provider=X;Mode=Read"},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(ado::WithoutPassword(in), out) << in;
  EXPECT_EQ(ado::RemoveSetting("A=1;B=2;C=3", ";B="), "A=1;C=3");
  EXPECT_EQ(ado::RemoveSetting("A=1;B=2", ";B="), "A=1;");
  EXPECT_EQ(ado::RemoveSetting("A=1;B=2", ";C="), "A=1;B=2");
}

// What Open throws, or nothing when it opens.
std::optional<ado::Error> OpenError(const std::string& cs) {
  try {
    ado::Connection c;
    c.Open(cs);
  } catch (const ado::Error& e) {
    return e;
  }
  return std::nullopt;
}

std::optional<ado::Error> CheckError(const std::string& cs) {
  try {
    ado::CheckConnectionString(cs);
  } catch (const ado::Error& e) {
    return e;
  }
  return std::nullopt;
}

TEST(ConnectionCheck, RefusesWhatOpenRefusesWithTheSameErrorAndOpensNothing) {
  testkit::TempDir dir;
  const std::string file = dir.File("c.db");
  testkit::Touch(file);
  const std::string sqlite = "Provider=SQLite;Data Source=" + file;
  // No server answers there: PostgreSQL settings that pass the checks fail to connect.
  const std::string pg = "Provider=PostgreSQL;Data Source=tally;Location=" + dir.File("none") + ";Connect Timeout=1";
  const std::string bad[] = {
      "", " \t\r\n", "Data Source=" + file, "Provider=;Data Source=" + file, "Provider=Access;Data Source=" + file,
      "Provider=SQLite", "Provider=SQLite;Data Source=''",
      sqlite + ";Busy Timeout=-1", sqlite + ";Busy Timeout=600001", sqlite + ";Busy Timeout=5s",
      sqlite + ";Journal Mode=OFF", sqlite + ";Synchronous=SOMETIMES", sqlite + ";Statement Cache=10001",
      sqlite + ";Max Page Count=0", sqlite + ";Max Page Count=4294967295", sqlite + ";Pooling=yes",
      sqlite + ";Texts=Latin", sqlite + ";Mode=Write",
      "Provider=PostgreSQL;Location=" + dir.File("none"), pg + ";Busy Timeout=0", pg + ";Command Timeout=86401",
      pg + ";Synchronous Commit=sometimes", pg + ";Pooling=1", pg + ";Texts=Wide", pg + ";Statement Cache=-1",
      "Provider=PostgreSQL;Data Source=tally;Location=host:54x2"};
  for (const std::string& cs : bad) {
    const std::optional<ado::Error> open = OpenError(cs), check = CheckError(cs);
    ASSERT_TRUE(open.has_value()) << cs;
    ASSERT_TRUE(check.has_value()) << cs;
    EXPECT_EQ(check->Number(), open->Number()) << cs;
    EXPECT_EQ(check->Description(), open->Description()) << cs;
  }

  // Blanks alone are an empty text, not one without a provider.
  EXPECT_EQ(CheckError(" \t\r\n")->Number(), ado::kErrProvider);
  EXPECT_NE(CheckError(" \t\r\n")->Description().find("empty"), std::string::npos);

  // Settings that pass, whether or not there is a database behind them.
  const std::string good[] = {
      sqlite, "provider = sqlite ; data source = " + file + " ; busy timeout = 600000 ; mode = read",
      sqlite + ";Journal Mode=wal;Synchronous=extra;Statement Cache=0;Max Page Count=4294967294;Pooling=FALSE;Texts=utf-8",
      "Provider=Microsoft.Jet.OLEDB.3.51;Data Source=" + dir.File("missing.mdb"),
      pg, pg + ";Busy Timeout=1;Synchronous Commit=REMOTE_APPLY;Pooling=true;Texts=Narrow",
      "Provider=PostgreSQL;Data Source=tally;Location=[::1]:5432;Command Timeout=0"};
  for (const std::string& cs : good) EXPECT_FALSE(CheckError(cs).has_value()) << cs << ": " << CheckError(cs)->Description();
  // The missing file and the absent server are Open's to find.
  EXPECT_TRUE(OpenError(good[3]).has_value());
  EXPECT_TRUE(OpenError(pg).has_value());
  EXPECT_FALSE(testkit::Exists(dir.File("missing.mdb")));
}

}  // namespace
