// What every provider does alike, run with the same statements on an SQLite
// file and on a PostgreSQL database.
#include <gtest/gtest.h>

#include <vector>

#include "ado_kit.h"

namespace {

class AdoOnEachBackend : public AdoTest, public ::testing::WithParamInterface<Backend> {
 protected:
  void SetUp() override { Open(GetParam()); }
};

INSTANTIATE_TEST_SUITE_P(Backends, AdoOnEachBackend, ::testing::Values(Backend::Sqlite, Backend::Postgres),
                         [](const auto& info) { return info.param == Backend::Sqlite ? "Sqlite" : "Postgres"; });

TEST_P(AdoOnEachBackend, ValuesThatDoNotFitTheirColumnAreRejectedAndNothingStored) {
  for (const char* bad : {"'not a date'", "'24:00:00'", "'2026-02-30'", "'12/31/99'", "99999999"}) {
    ado::Error e = ErrorOf([&] { conn_.Execute(std::string("Insert into Types values ( 1, 'x', ") + bad + " )"); });
    EXPECT_EQ(e.Number(), ado::kErrConversion) << bad;
    EXPECT_EQ(e.Description(), "Data type mismatch in criteria expression.") << bad;
  }
  ado::Error e = ErrorOf([&] { conn_.Execute("Select Record From Types where Date_Time='soon'"); });
  EXPECT_EQ(e.Description(), "Data type mismatch in criteria expression.");
  e = ErrorOf([&] { conn_.Execute("Insert into Types values ( 1, 'x', #13/45/2026# )"); });
  EXPECT_EQ(e.Number(), ado::kErrCommand);
  EXPECT_EQ(Count("Types"), 0);

  const std::string fifty(50, 'a');
  conn_.Execute("Insert into Teams values ( 1, '" + fifty + "', 0 )");
  e = ErrorOf([&] { conn_.Execute("Insert into Teams values ( 2, '" + fifty + "b', 0 )"); });
  EXPECT_EQ(e.Number(), ado::kErrDataOverflow);
  EXPECT_FALSE(Has(e, "locked") || Has(e, "duplicate"));
  e = ErrorOf([&] { conn_.Execute("Update Servers Set Server_Port='1234567' where Record=1"); });
  EXPECT_EQ(e.Number(), ado::kErrDataOverflow);
  // A too long name in a query finds nothing.
  EXPECT_TRUE(conn_.Execute("Select Record From Teams where Team='" + fifty + "b'")->Eof());

  // An added row meets the same rules.
  ado::Recordset rs;
  rs.Open("Select * From Teams", conn_, ado::kOpenDynamic, ado::kLockOptimistic);
  AddNew(rs, {{"Record", ado::Value::Integer(3)}, {"Team", ado::Value::Text(fifty + "b")}});
  EXPECT_EQ(ErrorOf([&] { rs.Update(); }).Number(), ado::kErrDataOverflow);
  rs.CancelUpdate();
  AddNew(rs, {{"Record", ado::Value::Integer(3)}, {"Date_Time", ado::Value::Text("soon")}});
  EXPECT_EQ(ErrorOf([&] { rs.Update(); }).Number(), ado::kErrConversion);
  rs.CancelUpdate();
  EXPECT_EQ(Count("Teams"), 1);
}

TEST_P(AdoOnEachBackend, DuplicateKeyIsToldApartAndThePendingRowCanBeRetried) {
  // A plain duplicate, also in a table whose name holds the lock word.
  conn_.Execute("Create Table Blocked (Record INTEGER Constraint CU99 Unique)");
  conn_.Execute("Insert into Blocked values ( 1 )");
  ado::Error e = ErrorOf([&] { conn_.Execute("Insert into Blocked values ( 1 )"); });
  EXPECT_EQ(e.Number(), ado::kErrProvider);
  EXPECT_TRUE(Has(e, "duplicate")) << e.Description();
  EXPECT_FALSE(Has(e, "locked")) << e.Description();

  conn_.Execute("Insert into Types values ( 1, 'a', 0 )");
  ado::Recordset rs;
  rs.Open("Select * From Types", conn_, ado::kOpenDynamic, ado::kLockOptimistic);
  AddNew(rs, {{"Record", ado::Value::Integer(1)}, {"Type", ado::Value::Text("kill")}});
  EXPECT_TRUE(Has(ErrorOf([&] { rs.Update(); }), "duplicate"));
  EXPECT_THROW(rs.Update(), ado::Error);   // still pending, still a duplicate
  rs.CancelUpdate();
  AddNew(rs, {{"Record", ado::Value::Integer(2)}, {"Type", ado::Value::Text("kill")}});
  rs.Update();
  EXPECT_EQ(Count("Types"), 2);
}

TEST_P(AdoOnEachBackend, TransactionsRollBackOnRequestOnCloseAndOnDestruction) {
  conn_.BeginTrans();
  EXPECT_TRUE(conn_.InTransaction());
  conn_.Execute("Insert into Maps values ( 1, 'q3dm17', 0 )");
  conn_.RollbackTrans();
  EXPECT_EQ(Count("Maps"), 0);
  EXPECT_EQ(ErrorOf([&] { conn_.CommitTrans(); }).Number(), ado::kErrState);

  conn_.BeginTrans();
  conn_.Execute("Insert into Maps values ( 1, 'q3dm17', 0 )");
  conn_.Close();
  {
    ado::Connection c;
    c.Open(ConnectionString());
    EXPECT_EQ(c.TransactionLevel(), 0);
    EXPECT_EQ(c.Execute("Select Count(*) As N From Maps")->Field("N").AsInteger(), 0);
    c.BeginTrans();
    c.Execute("Insert into Maps values ( 2, 'dm6', 0 )");
  }
  conn_.Open(ConnectionString());
  EXPECT_EQ(Count("Maps"), 0);
  conn_.BeginTrans();   // the database is not left locked
  conn_.Execute("Insert into Maps values ( 3, 'dm6', 0 )");
  conn_.CommitTrans();
  EXPECT_EQ(Count("Maps"), 1);
}

// Texts are stored as UTF-8 and come back narrow, or with Texts=UTF-8 as
// stored; a REAL (a single on PostgreSQL) gets every digit it holds, whether
// written out or bound.
TEST_P(AdoOnEachBackend, TextsReadNarrowOrAsStoredAndRealsWhole) {
  conn_.Execute("Insert into Scores values ( 1, 1234.567)");
  ado::Recordset scores;
  scores.Open("Select * From Scores", conn_, ado::kOpenDynamic, ado::kLockOptimistic);
  AddNew(scores, {{"Record", ado::Value::Integer(2)}, {"Offset", ado::Value::Double(7654.321)}});
  scores.Update();
  auto rs = conn_.Execute("Select Offset From Scores Order By Record");
  EXPECT_EQ(static_cast<float>(rs->Field("Offset").AsDouble()), 1234.567f);
  rs->MoveNext();
  EXPECT_EQ(static_cast<float>(rs->Field("Offset").AsDouble()), 7654.321f);
  conn_.Execute("Insert into Teams values ( 1, '\xD0\x96\xD0\xBE\xD1\x80\xD0\xB0', 0 )");   // UTF-8 Cyrillic
  conn_.Execute("Insert into Teams values ( 2, 'Z\xE9', 0 )");                                  // ISO-8859-1
  auto teams = [](ado::Connection& c) {
    std::string all;
    for (auto rs = c.Execute("Select Team From Teams Order By Record"); !rs->Eof(); rs->MoveNext())
      all += rs->Field("Team").AsText() + "|";
    return all;
  };
  EXPECT_EQ(teams(conn_), "????|Z\xE9|");
  ado::Connection utf8;
  utf8.Open(ConnectionString(";Texts=utf-8"));
  EXPECT_EQ(teams(utf8), "\xD0\x96\xD0\xBE\xD1\x80\xD0\xB0|Z\xC3\xA9|");
  utf8.Close();
  EXPECT_EQ(ErrorOf([&] { ado::Connection().Open(ConnectionString(";Texts=Latin")); }).Description(),
            "Invalid Texts setting 'Latin': Narrow or UTF-8 expected.");
}

TEST_P(AdoOnEachBackend, RecordsetsBehaveLikeForwardReadingRowsets) {
  conn_.Execute("Insert into Teams values ( 1, 'red', 0 )");
  conn_.Execute("Insert into Teams values ( 2, 'blue', 0 )");
  auto rs = conn_.Execute("Select Record, Team From Teams Order By Record DESC");
  EXPECT_EQ(rs->Field("record").AsInteger(), 2);
  EXPECT_EQ(rs->Field("Record").type(), ado::Value::Type::Integer);
  rs->MoveNext();
  EXPECT_EQ(rs->Field("TEAM").AsText(), "red");
  rs->MoveNext();
  EXPECT_TRUE(rs->Eof());
  ado::Error e = ErrorOf([&] { rs->Field("Team"); });
  EXPECT_EQ(e.Number(), ado::kErrEof);
  EXPECT_EQ(e.Description(),
            "Either BOF or EOF is True, or the current record has been deleted. Requested operation requires a "
            "current record.");
  rs->MoveFirst();
  EXPECT_EQ(rs->Field("Record").AsInteger(), 2);
  EXPECT_EQ(ErrorOf([&] { rs->Field("Colour"); }).Number(), ado::kErrNoField);
  rs->Close();
  EXPECT_THROW(rs->Eof(), ado::Error);

  auto none = conn_.Execute("Update Teams Set Team='green' where Record=2");
  EXPECT_FALSE(none->IsOpen());
  EXPECT_EQ(conn_.Execute("Select Team From Teams where Record=2")->Field("Team").AsText(), "green");
  EXPECT_EQ(conn_.Execute("Select Map From Maps")->FieldNames(), std::vector<std::string>{"Map"});
}

}  // namespace
