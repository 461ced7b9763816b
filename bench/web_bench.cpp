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
// The refreshes run on two sources: the database written directly with
// SQLite in the tables' layout (the listener's tables, one score table per
// game with the engine's index), and the same rows in a PostgreSQL database
// on a server of the benchmark's own (tables and score tables made by the
// provider, rows written by COPY). Requests are served from the summaries of
// the SQLite source.
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

#include <libpq-fe.h>

#include "ado.h"
#include "figures.h"
#include "http_front.h"
#include "pg_server.h"
#include "refresher.h"
#include "routes.h"
#include "schema.h"
#include "score_table.h"
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

std::string Date(int day, int second) {
  char b[32];
  std::snprintf(b, sizeof b, "2026-%02d-%02d %02d:%02d:%02d", 1 + (day / 28) % 12, 1 + day % 28, (second / 3600) % 24,
                (second / 60) % 60, second % 60);
  return b;
}

using Values = std::vector<std::string>;

// Where the listener's tables are written: an SQLite file or a PostgreSQL
// database, each in its own bulk way. Rows are texts in the columns' order.
class Store {
 public:
  virtual ~Store() = default;
  virtual void Begin() = 0;
  virtual void Commit() = 0;
  virtual void Rows(const std::string& table, const std::vector<Values>& rows) = 0;
  // A game's score table with the engine's index.
  virtual void ScoreTable(const std::string& table) = 0;
  // The end date of a game still running.
  virtual std::string OpenEnd() const = 0;
  virtual void Exec(const std::string& sql) = 0;
};

class SqliteStore : public Store {
 public:
  explicit SqliteStore(const std::string& path) {
    sqlite3_open(path.c_str(), &db_);
    Exec("PRAGMA journal_mode=WAL; PRAGMA synchronous=OFF");
  }
  ~SqliteStore() override { sqlite3_close(db_); }
  void Begin() override { Exec("BEGIN"); }
  void Commit() override { Exec("COMMIT"); }
  void Rows(const std::string& table, const std::vector<Values>& rows) override {
    if (rows.empty()) return;
    std::string sql = "INSERT INTO " + table + " VALUES (?";
    for (size_t i = 1; i < rows[0].size(); ++i) sql += ", ?";
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(db_, (sql + ")").c_str(), -1, &st, nullptr);
    for (const Values& r : rows) {
      for (size_t i = 0; i < r.size(); ++i) sqlite3_bind_text(st, static_cast<int>(i) + 1, r[i].c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_step(st);
      sqlite3_reset(st);
    }
    sqlite3_finalize(st);
  }
  void ScoreTable(const std::string& table) override {
    Exec("CREATE TABLE " + table + " (Record INTEGER, Killer INTEGER, Victim INTEGER, Type INTEGER, Weapon INTEGER, "
         "Score INTEGER, Offset REAL); CREATE INDEX IX_" + table + "_Record ON " + table + " (Record)");
  }
  std::string OpenEnd() const override { return "00:00:00"; }
  void Exec(const std::string& sql) override { ::Exec(db_, sql); }

 private:
  sqlite3* db_ = nullptr;
};

// Rows go in by COPY; the score tables are made (and statements run) by the
// provider from the engine's own statements, so that names and types are as
// the listener makes them.
class PgStore : public Store {
 public:
  PgStore(const testkit::PgServer& server, const std::string& database, const std::string& cs) {
    conn_ = PQconnectdb(("host=" + server.SocketFolder() + " port=" + std::to_string(server.Port()) +
                         " user=tally dbname=" + database).c_str());
    if (PQstatus(conn_) != CONNECTION_OK) Fail("connect", PQerrorMessage(conn_));
    ddl_.Open(cs);
  }
  ~PgStore() override {
    ddl_.Close();
    PQfinish(conn_);
  }
  void Begin() override { Run("BEGIN"); }
  void Commit() override { Run("COMMIT"); }
  void Rows(const std::string& table, const std::vector<Values>& rows) override {
    if (rows.empty()) return;
    PGresult* r = PQexec(conn_, ("COPY \"" + table + "\" FROM STDIN").c_str());
    if (PQresultStatus(r) != PGRES_COPY_IN) Fail("COPY " + table, PQerrorMessage(conn_));
    PQclear(r);
    std::string text;
    for (const Values& row : rows) {
      for (size_t i = 0; i < row.size(); ++i) text += (i ? "\t" : "") + row[i];
      text += '\n';
    }
    if (PQputCopyData(conn_, text.data(), static_cast<int>(text.size())) != 1 || PQputCopyEnd(conn_, nullptr) != 1)
      Fail("COPY " + table, PQerrorMessage(conn_));
    r = PQgetResult(conn_);
    if (PQresultStatus(r) != PGRES_COMMAND_OK) Fail("COPY " + table, PQerrorMessage(conn_));
    PQclear(r);
    while ((r = PQgetResult(conn_))) PQclear(r);
  }
  void ScoreTable(const std::string& table) override {
    ddl_.Execute("Create Table " + table + " (Record INTEGER" + scoretable::ColumnDefinitions("INTEGER", "REAL") + ")");
    ddl_.Execute("Create Index IX_" + table + "_Record On " + table + " (Record)");
  }
  std::string OpenEnd() const override { return "1899-12-30 00:00:00"; }
  // Statements as the listener writes them, through the provider.
  void Exec(const std::string& sql) override { ddl_.Execute(sql); }

 private:
  void Run(const std::string& sql) {
    PGresult* r = PQexec(conn_, sql.c_str());
    if (PQresultStatus(r) != PGRES_COMMAND_OK && PQresultStatus(r) != PGRES_TUPLES_OK) Fail(sql, PQerrorMessage(conn_));
    PQclear(r);
  }
  [[noreturn]] static void Fail(const std::string& what, const char* message) {
    std::fprintf(stderr, "%s: %s\n", what.substr(0, 80).c_str(), message);
    std::exit(1);
  }
  pg_conn* conn_ = nullptr;
  ado::Connection ddl_;
};

// The score table of game `g` with `n` rows among its eight players, and
// their team links when `links`.
void AddScores(Store& db, int64_t g, int n, int players, int64_t* link, bool links) {
  const std::string table = "Scores_000000" + std::to_string(g);
  db.ScoreTable(table);
  int64_t who[8];
  std::vector<Values> teams, scores;
  for (int k = 0; k < 8; ++k) {
    who[k] = 1 + (g * 7919 + k * 12553) % players;
    if (links) teams.push_back({std::to_string(++*link), std::to_string(g), std::to_string(who[k]), std::to_string(1 + k % 2)});
  }
  for (int i = 1; i <= n; ++i) {
    const int64_t k = who[(i * 3) % 8], v = i % 20 == 0 ? k : who[(i * 5 + 1) % 8];
    const bool suicide = k == v;
    scores.push_back({std::to_string(i), std::to_string(k), std::to_string(v), suicide ? "2" : "1",
                      std::to_string(1 + i % 8), suicide ? "-1" : "1", std::to_string(i * 2)});
  }
  db.Rows("Games_Players_Teams", teams);
  db.Rows(table, scores);
}

// Game `g`'s rows in Games, Servers_Games and Games_Maps, on server
// 1 + g % servers.
void AddGame(Store& db, int64_t g, int servers, bool running) {
  const int day = static_cast<int>(g / 30), second = static_cast<int>(g * 97);
  db.Rows("Games", {{std::to_string(g), "1.2", "", Date(day, second), running ? db.OpenEnd() : Date(day, second + 1200), "0"}});
  db.Rows("Servers_Games", {{std::to_string(g), std::to_string(1 + g % servers), std::to_string(g)}});
  db.Rows("Games_Maps", {{std::to_string(g), std::to_string(g), std::to_string(1 + g % 20)}});
}

// The dictionaries, then `games` games of rows / games rows each, the last
// one still running; returns the team links written.
int64_t Build(Store& db, int games, int rows, int players) {
  db.Begin();
  std::vector<Values> names;
  for (int i = 1; i <= players; ++i) names.push_back({std::to_string(i), "player" + std::to_string(i), "2026-01-01 00:00:00"});
  db.Rows("Players", names);
  db.Rows("Types", {{"1", "Kill", "2026-01-01"}, {"2", "Suicide", "2026-01-01"}, {"3", "PlayerConnect", "2026-01-01"}});
  names.clear();
  for (int w = 1; w <= 8; ++w) names.push_back({std::to_string(w), "weapon" + std::to_string(w), "2026-01-01"});
  db.Rows("Weapons", names);
  names.clear();
  for (int m = 1; m <= 20; ++m) names.push_back({std::to_string(m), "map" + std::to_string(m), "2026-01-01"});
  db.Rows("Maps", names);
  db.Rows("Teams", {{"1", "Red", "2026-01-01"}, {"2", "Blue", "2026-01-01"}});
  names.clear();
  for (int s = 1; s <= 10; ++s)
    names.push_back({std::to_string(s), "server" + std::to_string(s), "10.0.0." + std::to_string(s), "27910", "1",
                     "2026-01-01 00:00:00"});
  db.Rows("Servers", names);
  int64_t link = 0;
  for (int g = 1; g <= games; ++g) {
    AddGame(db, g, 10, g == games);
    AddScores(db, g, rows / games, players, &link, true);
    if (g % 100 == 0) {   // transactions of a bounded size
      db.Commit();
      db.Begin();
    }
  }
  db.Commit();
  return link;
}

struct Sizes {
  int games = 10000, rows = 1000000, players = 100000;
};
Sizes sizes;

enum class Source { kSqlite, kPostgres };

// The database, its summaries and a tallyweb server on them, made once per
// source.
struct World {
  Source source;
  testkit::TempDir dir;
  std::string path = dir.File("stats.db"), summaries = dir.File("summaries.db");
  std::unique_ptr<testkit::PgServer> pg;   // a server of its own, so that nothing else runs on it
  std::string pg_database;
  std::string cs;                          // the source's connection string
  std::unique_ptr<web::Refresher> refresher;
  std::unique_ptr<http_front::FrontServer> server;
  std::thread serving;
  int port = 0;
  int64_t games = 0;        // the games in the database
  int64_t running_rows = 0; // rows of the running game (the last one)
  int64_t links = 0;        // Games_Players_Teams rows

  explicit World(Source s) : source(s) {
    if (source == Source::kSqlite) {
      testkit::Touch(path);
      cs = "Provider=SQLite;Data Source=" + path;
    } else {
      pg = std::make_unique<testkit::PgServer>();
      pg_database = pg->CreateDatabase("web");
      cs = pg->ConnectionString(pg_database);
    }
    schema::CreateDatabaseTables(cs);
    const auto t0 = Clock::now();
    links = Build(*Open(), sizes.games, sizes.rows, sizes.players);
    std::fprintf(stderr, "%s database: %d games, %d score rows, %d players (written in %.1f s)\n",
                 source == Source::kSqlite ? "SQLite" : "PostgreSQL", sizes.games, sizes.rows, sizes.players,
                 Ms(t0, Clock::now()) / 1000);
    games = sizes.games;
    running_rows = sizes.rows / sizes.games;
  }
  ~World() {
    if (server) server->stop();
    if (serving.joinable()) serving.join();
  }
  std::unique_ptr<Store> Open() {
    if (source == Source::kSqlite) return std::make_unique<SqliteStore>(path);
    return std::make_unique<PgStore>(*pg, pg_database, cs);
  }
  // Summaries from nothing; the time it took.
  double BuildSummaries() {
    refresher.reset();
    for (const char* suffix : {"", "-wal", "-shm"}) std::remove((summaries + suffix).c_str());
    refresher = std::make_unique<web::Refresher>(cs, summaries);
    const auto t0 = Clock::now();
    refresher->RefreshOnce();
    const double ms = Ms(t0, Clock::now());
    refresher->Checkpoint();
    return ms;
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

World& TheWorld(Source source = Source::kSqlite) {
  if (source == Source::kSqlite) {
    static World sqlite(Source::kSqlite);
    return sqlite;
  }
  static World postgres(Source::kPostgres);
  return postgres;
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

// The checkpoint tallyweb runs after each pass, apart from it: the pass's
// figures are there before it.
double TimedCheckpoint(web::Refresher& r) {
  const auto t0 = Clock::now();
  r.Checkpoint();
  return Ms(t0, Clock::now());
}

void ReportCheckpoints(benchmark::State& state, std::vector<double> samples) {
  std::sort(samples.begin(), samples.end());
  state.counters["checkpoint_median_ms"] = samples[samples.size() / 2];
  state.counters["checkpoint_p95_ms"] = samples[std::min(samples.size() - 1, samples.size() * 95 / 100)];
}

void BM_SummariesFromNothing(benchmark::State& state, Source source) {
  World& w = TheWorld(source);
  for (auto _ : state) {
    const double ms = w.BuildSummaries();
    state.SetIterationTime(ms / 1000);
    state.counters["ms"] = ms;
  }
  state.counters["score_rows"] = sizes.rows;
}

// One datagram: a score row in the running game and the server's packet.
void BM_RefreshAfterOneDatagram(benchmark::State& state, Source source) {
  World& w = TheWorld(source);
  web::Refresher& r = w.Summaries();
  std::unique_ptr<Store> db = w.Open();
  const std::string last = "Scores_000000" + std::to_string(sizes.games);
  std::vector<double> samples, checkpoints;
  for (auto _ : state) {
    ++w.running_rows;
    const std::string n = std::to_string(w.running_rows);
    db->Exec("INSERT INTO " + last + " VALUES (" + n + ", 1, 2, 1, 1, 1, " + n + ")");
    db->Exec("UPDATE Servers SET Packet_Number = Packet_Number + 1 WHERE Record = 1");
    const auto t0 = Clock::now();
    r.RefreshOnce();
    samples.push_back(Ms(t0, Clock::now()));
    state.SetIterationTime(samples.back() / 1000);
    checkpoints.push_back(TimedCheckpoint(r));
  }
  Report(state, samples, 0);
  ReportCheckpoints(state, checkpoints);
}

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
// and rated. Reported beside it for SQLite: the schema load that the new
// score table costs the pass (schema_load_median_ms), measured apart.
void BM_RefreshAfterOneGame(benchmark::State& state, Source source) {
  World& w = TheWorld(source);
  web::Refresher& r = w.Summaries();
  std::unique_ptr<Store> db = w.Open();
  std::vector<double> samples, schema, checkpoints;
  for (auto _ : state) {
    const int64_t g = ++w.games;
    db->Begin();
    AddGame(*db, g, 9, false);
    AddScores(*db, g, 100, sizes.players, &w.links, true);
    db->Commit();
    if (source == Source::kSqlite) schema.push_back(SchemaLoadMs(w.path));
    const auto t0 = Clock::now();
    r.RefreshOnce();
    samples.push_back(Ms(t0, Clock::now()));
    state.SetIterationTime(samples.back() / 1000);
    checkpoints.push_back(TimedCheckpoint(r));
  }
  Report(state, samples, 50);
  ReportCheckpoints(state, checkpoints);
  if (schema.empty()) return;
  std::sort(schema.begin(), schema.end());
  state.counters["schema_load_median_ms"] = schema[schema.size() / 2];
}

#define REFRESH(name, iterations)                                                                            \
  BENCHMARK_CAPTURE(name, sqlite, Source::kSqlite)->Iterations(iterations)->UseManualTime()->Unit(benchmark::kMillisecond); \
  BENCHMARK_CAPTURE(name, postgres, Source::kPostgres)->Iterations(iterations)->UseManualTime()->Unit(benchmark::kMillisecond)
REFRESH(BM_SummariesFromNothing, 1);
REFRESH(BM_RefreshAfterOneDatagram, 30);
REFRESH(BM_RefreshAfterOneGame, 30);

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
