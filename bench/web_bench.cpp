// tallyweb: time to build the summaries of a large database from nothing,
// time of a refresh after one new datagram, and server time per request
// (median and 95th percentile) for the players ranking sorted by each
// column, a player page and a game page.
//
// usage: bench_web [GAMES ROWS PLAYERS]   (default 10000 1000000 100000)
// The database is written directly with SQLite in the tables' layout (the
// listener's tables, one score table per game with the engine's index).
#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "figures.h"
#include "refresher.h"
#include "schema.h"
#include "test_env.h"

namespace {

using Clock = std::chrono::steady_clock;

double Ms(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double, std::milli>(b - a).count(); }

void Exec(sqlite3* db, const std::string& sql) {
  char* err = nullptr;
  if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &err) != SQLITE_OK) {
    std::fprintf(stderr, "%s: %s\n", sql.substr(0, 80).c_str(), err);
    std::exit(1);
  }
}

struct Insert {
  sqlite3_stmt* st = nullptr;
  Insert(sqlite3* db, const std::string& sql) { sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr); }
  ~Insert() { sqlite3_finalize(st); }
  void Run(const std::vector<std::string>& values) {
    for (size_t i = 0; i < values.size(); ++i)
      sqlite3_bind_text(st, static_cast<int>(i) + 1, values[i].c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_step(st);
    sqlite3_reset(st);
  }
  void Run(const std::vector<int64_t>& values) {
    for (size_t i = 0; i < values.size(); ++i) sqlite3_bind_int64(st, static_cast<int>(i) + 1, values[i]);
    sqlite3_step(st);
    sqlite3_reset(st);
  }
};

std::string Date(int day, int second) {
  char b[32];
  std::snprintf(b, sizeof b, "2026-%02d-%02d %02d:%02d:%02d", 1 + (day / 28) % 12, 1 + day % 28, (second / 3600) % 24,
                (second / 60) % 60, second % 60);
  return b;
}

void Build(const std::string& path, int games, int rows, int players) {
  schema::CreateDatabaseTables("Provider=SQLite;Data Source=" + path);
  sqlite3* db = nullptr;
  sqlite3_open(path.c_str(), &db);
  Exec(db, "PRAGMA journal_mode=WAL; PRAGMA synchronous=OFF; BEGIN");
  {
    Insert p(db, "INSERT INTO Players VALUES (?1, ?2, '2026-01-01 00:00:00')");
    for (int i = 1; i <= players; ++i) p.Run(std::vector<std::string>{std::to_string(i), "player" + std::to_string(i)});
    Exec(db, "INSERT INTO Types VALUES (1, 'Kill', '2026-01-01'), (2, 'Suicide', '2026-01-01'), (3, 'PlayerConnect', '2026-01-01')");
    for (int w = 1; w <= 8; ++w) Exec(db, "INSERT INTO Weapons VALUES (" + std::to_string(w) + ", 'weapon" + std::to_string(w) + "', '2026-01-01')");
    for (int m = 1; m <= 20; ++m) Exec(db, "INSERT INTO Maps VALUES (" + std::to_string(m) + ", 'map" + std::to_string(m) + "', '2026-01-01')");
    Exec(db, "INSERT INTO Teams VALUES (1, 'Red', '2026-01-01'), (2, 'Blue', '2026-01-01')");
    for (int s = 1; s <= 10; ++s)
      Exec(db, "INSERT INTO Servers VALUES (" + std::to_string(s) + ", 'server" + std::to_string(s) + "', '10.0.0." +
                   std::to_string(s) + "', '27910', 1, '2026-01-01 00:00:00')");
  }
  Insert game(db, "INSERT INTO Games VALUES (?1, '1.2', '', ?2, ?3, 0)");
  Insert sg(db, "INSERT INTO Servers_Games VALUES (?1, ?2, ?3)");
  Insert gm(db, "INSERT INTO Games_Maps VALUES (?1, ?2, ?3)");
  Insert gpt(db, "INSERT INTO Games_Players_Teams VALUES (?1, ?2, ?3, ?4)");
  const int per_game = rows / games;
  int64_t link = 0;
  for (int g = 1; g <= games; ++g) {
    const bool last = g == games;
    game.Run(std::vector<std::string>{std::to_string(g), Date(g / 30, g * 97), last ? "00:00:00" : Date(g / 30, g * 97 + 1200)});
    sg.Run(std::vector<int64_t>{g, 1 + g % 10, g});
    gm.Run(std::vector<int64_t>{g, g, 1 + g % 20});
    const std::string table = "Scores_000000" + std::to_string(g);
    Exec(db, "CREATE TABLE " + table + " (Record INTEGER, Killer INTEGER, Victim INTEGER, Type INTEGER, Weapon INTEGER, "
             "Score INTEGER, Offset REAL); CREATE INDEX IX_" + table + "_Record ON " + table + " (Record)");
    int64_t who[8];
    for (int k = 0; k < 8; ++k) {
      who[k] = 1 + (static_cast<int64_t>(g) * 7919 + k * 12553) % players;
      gpt.Run(std::vector<int64_t>{++link, g, who[k], 1 + k % 2});
    }
    Insert score(db, "INSERT INTO " + table + " VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7)");
    for (int i = 1; i <= per_game; ++i) {
      const int64_t k = who[(i * 3) % 8], v = i % 20 == 0 ? k : who[(i * 5 + 1) % 8];
      const bool suicide = k == v;
      score.Run(std::vector<int64_t>{i, k, v, suicide ? 2 : 1, 1 + i % 8, suicide ? -1 : 1, i * 2});
    }
  }
  Exec(db, "COMMIT");
  sqlite3_close(db);
}

struct Stats {
  double median, p95;
};

Stats Measure(int n, const std::function<void(int)>& f) {
  std::vector<double> t;
  for (int i = 0; i < n; ++i) {
    auto a = Clock::now();
    f(i);
    t.push_back(Ms(a, Clock::now()));
  }
  std::sort(t.begin(), t.end());
  return {t[t.size() / 2], t[std::min(t.size() - 1, t.size() * 95 / 100)]};
}

}  // namespace

int main(int argc, char** argv) {
  int games = 10000, rows = 1000000, players = 100000;
  if (argc == 4) {
    games = std::atoi(argv[1]);
    rows = std::atoi(argv[2]);
    players = std::atoi(argv[3]);
  }
  testkit::TempDir dir;
  const std::string path = dir.File("stats.db"), summaries = dir.File("summaries.db");
  testkit::Touch(path);
  auto t0 = Clock::now();
  Build(path, games, rows, players);
  std::printf("database: %d games, %d score rows, %d players (written in %.1f s)\n", games, rows, players,
              Ms(t0, Clock::now()) / 1000);

  web::Refresher refresher("Provider=SQLite;Data Source=" + path, summaries);
  t0 = Clock::now();
  web::RefreshStats built = refresher.RefreshOnce();
  std::printf("summaries from nothing: %.0f ms (%lld score rows from %lld tables)\n", Ms(t0, Clock::now()),
              static_cast<long long>(built.score_rows), static_cast<long long>(built.games_read));

  // One datagram: a score row in the running game and the server's packet.
  sqlite3* db = nullptr;
  sqlite3_open(path.c_str(), &db);
  const std::string last = "Scores_000000" + std::to_string(games);
  int next = rows / games;
  Stats refresh = Measure(30, [&](int) {
    ++next;
    Exec(db, "INSERT INTO " + last + " VALUES (" + std::to_string(next) + ", 1, 2, 1, 1, 1, " + std::to_string(next) + ")");
    Exec(db, "UPDATE Servers SET Packet_Number = Packet_Number + 1 WHERE Record = 1");
    refresher.RefreshOnce();
  });
  refresher.RefreshOnce();
  std::printf("refresh after one datagram: median %.1f ms, p95 %.1f ms\n", refresh.median, refresh.p95);
  sqlite3_close(db);

  auto request = [&](const std::function<void(web::Db&)>& f) {
    web::Db d(summaries, true);
    d.Exec("BEGIN");
    f(d);
    d.Exec("COMMIT");
  };
  for (const char* const* c = web::PlayerSortColumns(); *c; ++c)
    for (const char* order : {"desc", "asc"}) {
      Stats s = Measure(50, [&](int i) {
        web::PlayerQuery q;
        q.sort = *c;
        q.order = order;
        q.page = 1 + (i % 5) * 40;   // first pages and deep ones
        request([&](web::Db& d) { web::PlayersJson(d, q).dump(); });
      });
      std::printf("players sorted by %-9s %-4s: median %.1f ms, p95 %.1f ms\n", *c, order, s.median, s.p95);
    }
  Stats search = Measure(50, [&](int i) {
    web::PlayerQuery q;
    q.q = "player" + std::to_string(100 + i);
    request([&](web::Db& d) { web::PlayersJson(d, q).dump(); });
  });
  std::printf("players name search       : median %.1f ms, p95 %.1f ms\n", search.median, search.p95);
  Stats player = Measure(200, [&](int i) {
    request([&](web::Db& d) { web::PlayerJson(d, 1 + (static_cast<int64_t>(i) * 7919 * 13) % players).dump(); });
  });
  std::printf("player page               : median %.1f ms, p95 %.1f ms\n", player.median, player.p95);
  Stats game = Measure(200, [&](int i) {
    request([&](web::Db& d) { web::GameJson(d, 1 + (static_cast<int64_t>(i) * 7919) % games).dump(); });
  });
  std::printf("game page                 : median %.1f ms, p95 %.1f ms\n", game.median, game.p95);
  return 0;
}
