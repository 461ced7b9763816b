// The same random multi-server games stored through SQLite and through
// PostgreSQL give the same rows in every table, dates included.
#include <map>

#include "engine_fixture.h"
#include "env.h"
#include "random_games.h"

namespace enginetest {
namespace {

class BackendParity : public EngineTest {
 protected:
  // Every table of a database and its rows in Record order.
  std::map<std::string, std::vector<std::string>> Dump(Backend backend, const std::string& database) {
    backend_ = backend;
    db_path_ = database;
    std::map<std::string, std::vector<std::string>> out;
    for (const auto& row : testkit::SqlRows(sqlite_, "select name from sqlite_master where type='table'"))
      out[row[0]] = Table("select * from " + row[0] + " order by Record");
    return out;
  }
  void Store(Backend backend, const std::string& database, const std::vector<SentDatagram>& games) {
    backend_ = backend;
    db_path_ = database;
    for (const SentDatagram& d : games) {
      env::ProcessingTimeScope at(d.received);
      options_.ip = d.ip;
      options_.port = d.port;
      auto r = Pass(d.bytes);
      ASSERT_FALSE(r.threw) << r.error;
      ASSERT_TRUE(r.outcome.completed);
    }
  }
  std::string sqlite_;
};

TEST_F(BackendParity, RandomMultiServerGamesGiveIdenticalRowsInEveryTable) {
  for (uint32_t seed : {1u, 2u}) {
    const auto games = RandomGames(seed, 4, 25);
    backend_ = Backend::Sqlite;
    sqlite_ = MakeDatabase("parity" + std::to_string(seed) + ".db");
    backend_ = Backend::Postgres;
    const std::string postgres = MakeDatabase("");
    Store(Backend::Sqlite, sqlite_, games);
    Store(Backend::Postgres, postgres, games);
    auto lite = Dump(Backend::Sqlite, sqlite_);
    auto pg = Dump(Backend::Postgres, postgres);
    ASSERT_GT(lite.size(), 17u);   // score tables of several games
    EXPECT_GT(lite["Scores_0000003"].size(), 10u);
    EXPECT_EQ(lite["Logs"].size(), 100u);
    for (const auto& [table, rows] : lite) EXPECT_EQ(pg[table], rows) << table << ", seed " << seed;
    EXPECT_NE(lite["Logs"][0].find("2026-12-01 20:00:01"), std::string::npos);   // the receipt time
    EXPECT_TRUE(boxes_->shown().empty());
  }
}

}  // namespace
}  // namespace enginetest
