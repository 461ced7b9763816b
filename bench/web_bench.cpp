// tallyweb on a large database: summaries with ratings from nothing, a
// refresh after one new datagram and after one new game, and request times
// over HTTP (the real routes, in this process): the players ranking by rating
// (first and middle page), a player's page, a game's page and the servers
// page, and the JSON ranking sorted by every column. Each reports its median
// and 95th percentile as counters (median_ms, p95_ms) and whether the 95th
// percentile is within its target (within_target: 1 or 0): requests 50 ms,
// a refresh after one game 50 ms.
//
// usage: bench_web [benchmark flags] [GAMES ROWS PLAYERS]   (default 10000 1000000 100000)
// The database is written directly with SQLite in the tables' layout (the
// listener's tables, one score table per game with the engine's index).
#include <benchmark/benchmark.h>
#include <httplib.h>
#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "figures.h"
#include "http_front.h"
#include "refresher.h"
#include "routes.h"
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

// The score table of game `g` with `n` rows among its eight players.
void AddScores(sqlite3* db, int64_t g, int n, int players, int64_t* link, bool links) {
  const std::string table = "Scores_000000" + std::to_string(g);
  Exec(db, "CREATE TABLE " + table + " (Record INTEGER, Killer INTEGER, Victim INTEGER, Type INTEGER, Weapon INTEGER, "
           "Score INTEGER, Offset REAL); CREATE INDEX IX_" + table + "_Record ON " + table + " (Record)");
  int64_t who[8];
  Insert gpt(db, "INSERT INTO Games_Players_Teams VALUES (?1, ?2, ?3, ?4)");
  for (int k = 0; k < 8; ++k) {
    who[k] = 1 + (g * 7919 + k * 12553) % players;
    if (links) gpt.Run(std::vector<int64_t>{++*link, g, who[k], 1 + k % 2});
  }
  Insert score(db, "INSERT INTO " + table + " VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7)");
  for (int i = 1; i <= n; ++i) {
    const int64_t k = who[(i * 3) % 8], v = i % 20 == 0 ? k : who[(i * 5 + 1) % 8];
    const bool suicide = k == v;
    score.Run(std::vector<int64_t>{i, k, v, suicide ? 2 : 1, 1 + i % 8, suicide ? -1 : 1, i * 2});
  }
}

struct Sizes {
  int games = 10000, rows = 1000000, players = 100000;
};
Sizes sizes;

// The database, its summaries and a tallyweb server on them, made once.
struct World {
  testkit::TempDir dir;
  std::string path = dir.File("stats.db"), summaries = dir.File("summaries.db");
  std::unique_ptr<web::Refresher> refresher;
  std::unique_ptr<http_front::FrontServer> server;
  std::thread serving;
  int port = 0;
  int64_t games = 0;        // the games in the database
  int64_t running_rows = 0; // rows of the running game (the last one)
  int64_t links = 0;        // Games_Players_Teams rows

  World() {
    testkit::Touch(path);
    const auto t0 = Clock::now();
    Build(path, sizes.games, sizes.rows, sizes.players);
    std::fprintf(stderr, "database: %d games, %d score rows, %d players (written in %.1f s)\n", sizes.games,
                 sizes.rows, sizes.players, Ms(t0, Clock::now()) / 1000);
    games = sizes.games;
    running_rows = sizes.rows / sizes.games;
    links = static_cast<int64_t>(sizes.games) * 8;
  }
  ~World() {
    if (server) server->stop();
    if (serving.joinable()) serving.join();
  }
  // Summaries from nothing; the time it took.
  double BuildSummaries() {
    refresher.reset();
    for (const char* suffix : {"", "-wal", "-shm"}) std::remove((summaries + suffix).c_str());
    refresher = std::make_unique<web::Refresher>("Provider=SQLite;Data Source=" + path, summaries);
    const auto t0 = Clock::now();
    refresher->RefreshOnce();
    return Ms(t0, Clock::now());
  }
  web::Refresher& Summaries() {
    if (!refresher) BuildSummaries();
    return *refresher;
  }
  int Serve() {
    Summaries();
    if (!server) {
      server = std::make_unique<http_front::FrontServer>();
      server->new_task_queue = [] { return new httplib::ThreadPool(8); };
      server->set_tcp_nodelay(true);   // as tallyweb
      web::InstallRoutes(*server, summaries);
      port = server->Bind("127.0.0.1", 0);
      // Bound and listening already: connections wait in the queue until accepted.
      serving = std::thread([this] { server->listen_after_bind(); });
    }
    return port;
  }
};

World& TheWorld() {
  static World world;
  return world;
}

// The median and 95th percentile of `samples` (ms) as counters, with the
// 95th percentile against `target_ms` when there is one.
void Report(benchmark::State& state, std::vector<double> samples, double target_ms) {
  std::sort(samples.begin(), samples.end());
  const double median = samples[samples.size() / 2];
  const double p95 = samples[std::min(samples.size() - 1, samples.size() * 95 / 100)];
  state.counters["median_ms"] = median;
  state.counters["p95_ms"] = p95;
  if (target_ms > 0) state.counters["within_target"] = p95 <= target_ms ? 1 : 0;
}

void BM_SummariesFromNothing(benchmark::State& state) {
  World& w = TheWorld();
  for (auto _ : state) {
    const double ms = w.BuildSummaries();
    state.SetIterationTime(ms / 1000);
    state.counters["ms"] = ms;
  }
  state.counters["score_rows"] = sizes.rows;
}
BENCHMARK(BM_SummariesFromNothing)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

// One datagram: a score row in the running game and the server's packet.
void BM_RefreshAfterOneDatagram(benchmark::State& state) {
  World& w = TheWorld();
  web::Refresher& r = w.Summaries();
  sqlite3* db = nullptr;
  sqlite3_open(w.path.c_str(), &db);
  const std::string last = "Scores_000000" + std::to_string(sizes.games);
  std::vector<double> samples;
  for (auto _ : state) {
    ++w.running_rows;
    Exec(db, "INSERT INTO " + last + " VALUES (" + std::to_string(w.running_rows) + ", 1, 2, 1, 1, 1, " +
                 std::to_string(w.running_rows) + ")");
    Exec(db, "UPDATE Servers SET Packet_Number = Packet_Number + 1 WHERE Record = 1");
    const auto t0 = Clock::now();
    r.RefreshOnce();
    samples.push_back(Ms(t0, Clock::now()));
    state.SetIterationTime(samples.back() / 1000);
  }
  sqlite3_close(db);
  Report(state, samples, 0);
}
BENCHMARK(BM_RefreshAfterOneDatagram)->Iterations(30)->UseManualTime()->Unit(benchmark::kMillisecond);

// The time a new SQLite connection takes to read the database's schema (one
// table and one index per game), as every reader does again once the
// listener has made a new game's score table.
double SchemaLoadMs(const std::string& path) {
  sqlite3* db = nullptr;
  sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
  const auto t0 = Clock::now();
  Exec(db, "SELECT count(*) FROM Games");
  const double ms = Ms(t0, Clock::now());
  sqlite3_close(db);
  return ms;
}

// One new game, closed, of 100 score rows among eight players: read, summed
// and rated. Reported beside it: the schema load that the new score table
// costs the pass (schema_load_median_ms), measured apart.
void BM_RefreshAfterOneGame(benchmark::State& state) {
  World& w = TheWorld();
  web::Refresher& r = w.Summaries();
  sqlite3* db = nullptr;
  sqlite3_open(w.path.c_str(), &db);
  std::vector<double> samples, schema;
  for (auto _ : state) {
    const int64_t g = ++w.games;
    Exec(db, "BEGIN");
    Insert(db, "INSERT INTO Games VALUES (?1, '1.2', '', ?2, ?3, 0)")
        .Run(std::vector<std::string>{std::to_string(g), Date(static_cast<int>(g / 30), static_cast<int>(g * 97)),
                                      Date(static_cast<int>(g / 30), static_cast<int>(g * 97) + 1200)});
    Insert(db, "INSERT INTO Servers_Games VALUES (?1, ?2, ?3)").Run(std::vector<int64_t>{g, 2 + g % 9, g});
    Insert(db, "INSERT INTO Games_Maps VALUES (?1, ?2, ?3)").Run(std::vector<int64_t>{g, g, 1 + g % 20});
    AddScores(db, g, 100, sizes.players, &w.links, true);
    Exec(db, "COMMIT");
    schema.push_back(SchemaLoadMs(w.path));
    const auto t0 = Clock::now();
    r.RefreshOnce();
    samples.push_back(Ms(t0, Clock::now()));
    state.SetIterationTime(samples.back() / 1000);
  }
  sqlite3_close(db);
  Report(state, samples, 50);
  std::sort(schema.begin(), schema.end());
  state.counters["schema_load_median_ms"] = schema[schema.size() / 2];
}
BENCHMARK(BM_RefreshAfterOneGame)->Iterations(30)->UseManualTime()->Unit(benchmark::kMillisecond);

// GET `path(i)` from the tallyweb routes over loopback HTTP (one kept-alive
// connection): the time from sending to the whole body.
void Requests(benchmark::State& state, const std::function<std::string(int)>& path) {
  const int port = TheWorld().Serve();
  httplib::Client client("127.0.0.1", port);
  client.set_keep_alive(true);
  client.set_tcp_nodelay(true);
  client.set_read_timeout(60, 0);
  std::vector<double> samples;
  int i = 0;
  for (auto _ : state) {
    const std::string p = path(i++);
    const auto t0 = Clock::now();
    auto res = client.Get(p.c_str());
    samples.push_back(Ms(t0, Clock::now()));
    state.SetIterationTime(samples.back() / 1000);
    if (!res || res->status != 200) {
      state.SkipWithError(("GET " + p + ": " + (res ? std::to_string(res->status) : std::string("no answer"))).c_str());
      return;
    }
  }
  Report(state, samples, 50);
}

// The pages of the players ranking (players with a game).
int64_t RankingPages() {
  httplib::Client client("127.0.0.1", TheWorld().Serve());
  auto res = client.Get("/api/players");
  return res && res->status == 200 ? nlohmann::json::parse(res->body)["pages"].get<int64_t>() : 1;
}

int64_t Spread(int i, int64_t n) { return 1 + (static_cast<int64_t>(i) * 7919 * 13) % n; }

void BM_RankingByRatingFirstPage(benchmark::State& state) {
  Requests(state, [](int) { return std::string("/api/players?sort=rating"); });
}
void BM_RankingByRatingMiddlePage(benchmark::State& state) {
  const int64_t pages = RankingPages();
  Requests(state, [pages](int) { return "/api/players?sort=rating&page=" + std::to_string(pages / 2); });
}
void BM_RankingPageByRating(benchmark::State& state) {
  Requests(state, [](int) { return std::string("/players?sort=rating"); });
}
void BM_PlayerPage(benchmark::State& state) {
  Requests(state, [](int i) { return "/players/" + std::to_string(Spread(i, sizes.players)); });
}
void BM_GamePage(benchmark::State& state) {
  Requests(state, [](int i) { return "/games/" + std::to_string(Spread(i, sizes.games)); });
}
void BM_ServersPage(benchmark::State& state) {
  Requests(state, [](int) { return std::string("/servers"); });
}
void BM_PlayerSearch(benchmark::State& state) {
  Requests(state, [](int i) { return "/api/players?q=player" + std::to_string(100 + i); });
}
// The JSON ranking by every column, both orders, first pages and deep ones.
void BM_RankingBy(benchmark::State& state) {
  const char* column = web::PlayerSortColumns()[state.range(0) / 2];
  const char* order = state.range(0) % 2 ? "asc" : "desc";
  state.SetLabel(std::string(column) + " " + order);
  const int64_t pages = RankingPages();
  Requests(state, [&](int i) {
    return std::string("/api/players?sort=") + column + "&order=" + order + "&page=" +
           std::to_string(1 + (i % 5) * (pages - 1) / 4);
  });
}

#define REQUESTS(name) BENCHMARK(name)->Iterations(200)->UseManualTime()->Unit(benchmark::kMillisecond)
REQUESTS(BM_RankingByRatingFirstPage);
REQUESTS(BM_RankingByRatingMiddlePage);
REQUESTS(BM_RankingPageByRating);
REQUESTS(BM_PlayerPage);
REQUESTS(BM_GamePage);
REQUESTS(BM_ServersPage);
REQUESTS(BM_PlayerSearch);
BENCHMARK(BM_RankingBy)->DenseRange(0, 17)->Iterations(50)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (argc == 4) {
    sizes.games = std::atoi(argv[1]);
    sizes.rows = std::atoi(argv[2]);
    sizes.players = std::atoi(argv[3]);
  } else if (argc != 1) {
    std::fprintf(stderr, "usage: bench_web [benchmark flags] [GAMES ROWS PLAYERS]\n");
    return 2;
  }
  if (sizes.games < 1 || sizes.rows < sizes.games || sizes.players < 8) {
    std::fprintf(stderr, "bench_web: wants GAMES >= 1, ROWS >= GAMES, PLAYERS >= 8\n");
    return 2;
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
