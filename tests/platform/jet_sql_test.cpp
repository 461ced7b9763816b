// Jet statement forms turned into backend statements with bound values.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "datetime.h"
#include "jet_sql.h"

namespace {

using ado::Value;
using ado::jet::Column;
using ado::jet::ColumnKind;

class FakeColumns : public ado::jet::ColumnSource {
 public:
  const std::vector<Column>* ColumnsOf(const std::string& table) override {
    ++lookups;
    if (!ado::jet::EqualsNoCase(table, "Weapons")) return nullptr;
    return &weapons_;
  }
  int lookups = 0;

 private:
  std::vector<Column> weapons_ = {{"Record", "INTEGER", ColumnKind::Integer, 0},
                                  {"Weapon", "VARCHAR (5)", ColumnKind::Text, 5},
                                  {"Date_Time", "DATETIME", ColumnKind::DateTime, 0}};
};

std::string Ph(int n) { return std::string(1, '$').append(std::to_string(n)); }

ado::jet::Translation T(const std::string& s, FakeColumns* cols = nullptr) {
  FakeColumns local;
  return ado::jet::Translate(s, cols ? *cols : local, &Ph);
}

TEST(JetSql, OnlyValuePositionsBecomePlaceholdersSoTheStatementTextRepeats) {
  const char kMaps[] = "Create Table Maps (Record INTEGER Constraint CU9 Unique, Map VARCHAR (128))";
  const std::pair<const char*, const char*> texts[] = {
      {"Insert into Weapons values ( 41, 'O''Nl', #1/2/2026 3:04:05 AM# )", "Insert into Weapons values ( $1, $2, $3 )"},
      {"Insert into Weapons values ( 42, 'bfg', '2026-01-02' )", "Insert into Weapons values ( $1, $2, $3 )"},
      {"Select Record From Weapons where Record=-3 and Weapon<>'#x?' Order By 1 DESC",
       "Select Record From Weapons where Record=$1 and Weapon<>$2 Order By 1 DESC"},
      {"Select Record From Weapons", "Select Record From Weapons"},
      {"Update Weapons Set Weapon=\"ax\", Date_Time=0 where Record=7",
       "Update Weapons Set Weapon=$1, Date_Time=$2 where Record=$3"},
      {kMaps, kMaps},
      {"Create View V As Select #2026-01-02# As D", "Create View V As Select '2026-01-02 00:00:00' As D"},
      {"insert into Weapons values(1)'x'", "insert into Weapons values($1)$2"}};
  for (const auto& [in, out] : texts) EXPECT_EQ(T(in).text, out) << in;

  auto a = T(texts[0].first);
  ASSERT_EQ(a.params.size(), 3u);
  EXPECT_EQ(a.params[0].AsInteger(), 41);
  EXPECT_EQ(a.params[1].AsText(), "O'Nl");
  EXPECT_EQ(a.params[2].type(), Value::Type::DateTime);
  EXPECT_DOUBLE_EQ(a.params[2].AsDateTime(), datetime::FromParts(2026, 1, 2, 3, 4, 5));
  EXPECT_EQ(a.table, "Weapons");
  EXPECT_EQ(a.verb, ado::jet::Verb::Insert);
  EXPECT_EQ(T(texts[1].first).params[2].type(), Value::Type::DateTime);   // the column's meaning
  auto t = T(texts[2].first);
  ASSERT_EQ(t.params.size(), 2u);
  EXPECT_EQ(t.params[0].AsInteger(), -3);
  EXPECT_EQ(t.params[1].AsText(), "#x?");
  EXPECT_EQ(T(texts[4].first).params[1].type(), Value::Type::DateTime);
  auto c = T(kMaps);
  EXPECT_TRUE(c.params.empty());
  EXPECT_EQ(c.verb, ado::jet::Verb::CreateTable);
  EXPECT_EQ(c.table, "Maps");
}

TEST(JetSql, ColumnsAreFoundByListOrNameAndConvertedForStoring) {
  FakeColumns cols;
  auto t = T("Insert into Weapons (Date_Time, Record) values ( 0, 1 )", &cols);
  EXPECT_EQ(t.params[0].type(), Value::Type::DateTime);
  EXPECT_EQ(t.params[1].type(), Value::Type::Integer);
  EXPECT_EQ(cols.lookups, 1);
  EXPECT_EQ(T("Select Record From Weapons where Weapons.Date_Time='1/2/2026'").params[0].type(),
            Value::Type::DateTime);
  // Unknown tables and joins are left to the backend, without conversions.
  EXPECT_EQ(T("Select A From Other where D='x'").params[0].type(), Value::Type::Text);
  EXPECT_TRUE(T("Select A From Weapons, Other where Date_Time='x'").table.empty());
  // Names match in any letter case, every letter; other bytes as they are.
  EXPECT_TRUE(ado::jet::EqualsNoCase("ABCDEFGHIJKLMNOPQRSTUVWXYZ_09", "abcdefghijklmnopqrstuvwxyz_09"));
  EXPECT_FALSE(ado::jet::EqualsNoCase("Date_Time", "Date-Time"));
  EXPECT_FALSE(ado::jet::EqualsNoCase("\xC9", "\xE9"));
  EXPECT_FALSE(ado::jet::EqualsNoCase("[", "{"));
}

// Plain inserts are read by a shortcut; a trailing ";" sends the same
// statement the general way, which must give the same statement text, values
// and errors.
TEST(JetSql, PlainInsertsReadTheSameAsTheGeneralWay) {
  const char* const literals[] = {
      "0", "41", "-3", "9223372036854775807", "-9223372036854775808", "9223372036854775808",
      "99999999999999999999", "20.3", ".5", "1e3", "2.5E-3", "1e", "1e999", "-0.0", "007",
      "'O''Nl'", "\"a\"\"b\"", "''", "'toolong'", "'2026-01-02'", "'x,)'", "#1/2/2026#",
      "#2026-01-02 03:04:05#", "#bad#", "Null", "x", "?", "1abc", "- 1", "-'a'", "'open", "#open",
      "1.2.3", "(1)", "1 2"};
  const char* const heads[] = {"Insert into Weapons values (", "INSERT INTO weapons VALUES(",
                               "  insert   into Other values ( ", "Insert into [Weapons] values (",
                               "Insert into Weapons (Record) values (", "Insert intoWeapons values (",
                               "Insert into 9 values ("};
  const char* const commas[] = {", ", ",", " , ", " ,"};
  std::mt19937 random(20261207);
  auto pick = [&](auto& list) { return list[random() % std::size(list)]; };
  auto outcome = [](const std::string& statement) {
    FakeColumns cols;
    try {
      return std::make_pair(ado::jet::Translate(statement, cols, &Ph), std::string());
    } catch (const ado::Error& e) {
      return std::make_pair(ado::jet::Translation{}, std::to_string(e.Number()) + " " + e.Description());
    }
  };
  int translated = 0;
  for (int round = 0; round < 3000; ++round) {
    std::string statement = pick(heads);
    const int items = static_cast<int>(random() % 5);
    for (int k = 0; k < items; ++k) {
      if (k > 0) statement += pick(commas);
      statement += random() % 4 ? literals[random() % 24] : pick(literals);
    }
    statement += random() % 2 ? " )" : ")";
    const auto shortcut = outcome(statement), general = outcome(statement + " ;");
    std::string general_error = general.second;   // may quote the statement's end
    if (size_t end = general_error.rfind(" ;'"); end != std::string::npos) general_error.erase(end, 2);
    ASSERT_EQ(shortcut.second, general_error) << statement;
    if (!general.second.empty()) continue;
    ++translated;
    const auto &a = shortcut.first, &b = general.first;
    ASSERT_EQ(a.text + " ;", b.text) << statement;
    ASSERT_EQ(a.table, b.table) << statement;
    ASSERT_EQ(a.verb, b.verb) << statement;
    ASSERT_EQ(a.params.size(), b.params.size()) << statement;
    for (size_t i = 0; i < a.params.size(); ++i) {
      const Value &x = a.params[i], &y = b.params[i];
      ASSERT_EQ(x.type(), y.type()) << statement << " item " << i;
      const bool number = x.type() == Value::Type::Double || x.type() == Value::Type::DateTime;
      ASSERT_EQ(x.IsNull() ? "" : x.AsText(), y.IsNull() ? "" : y.AsText()) << statement << " item " << i;
      if (number) {
        ASSERT_EQ(std::signbit(x.AsDouble()), std::signbit(y.AsDouble())) << statement;
      }
    }
  }
  EXPECT_GT(translated, 500);   // the comparison met many statements that translate
}

TEST(JetSql, NarrowTextsMapEveryByteToOneCharacter) {
  std::string all;
  for (int b = 1; b < 256; ++b) all += static_cast<char>(b);
  const std::string utf8 = ado::jet::NarrowToBackend(all);
  EXPECT_EQ(utf8.size(), 127u + 2 * 128u);
  EXPECT_EQ(ado::jet::BackendToNarrow(utf8), all);
  EXPECT_EQ(ado::jet::NarrowToBackend("\xC3\xA9"), "\xC3\xA9");   // already UTF-8 text: unchanged
}

}  // namespace
