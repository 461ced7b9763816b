// Score records per second into one database from one feeding process and
// from three at once (the scale factor), PostgreSQL beside SQLite in the
// same run. Each process is a tallyfeed run handing over its own server's
// 16-player game, 1 KB datagrams, as a listener would. The PostgreSQL
// server is a private one started by the benchmark, with the default
// durability (fsync, synchronous commit), and measured once more with
// "Synchronous Commit=off" (commits that do not wait for the server's log).
// BM_Feed_PostgresBig/0 and /1: one process into an empty database and into
// one holding 1,000,000 Logs rows and 100,000 players, while another
// program writes to the database all the time, so that no pass can trust
// what the one before it learnt.
#include <benchmark/benchmark.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <random>
#include <thread>
#include <stdexcept>
#include <string>
#include <vector>

#include "ado.h"
#include "datagram_builder.h"
#include "listener_traffic.h"
#include "pg_server.h"
#include "schema.h"
#include "test_env.h"

namespace {

constexpr int kScoreRecords = 2000;   // per game, per process
constexpr int kPlayers = benchkit::kGamePlayers;

using datagram::RecordLine;

// Server `s`'s game as datagram files in `dir`; returns the file names.
std::vector<std::string> WriteGame(const testkit::TempDir& dir, int s) {
  std::mt19937 rng(static_cast<uint32_t>(s + 1));
  std::vector<std::string> names;
  datagram::Builder log = benchkit::GameOpening(s, &names);
  auto& r = log.records;
  for (int k = 0; k < kScoreRecords; ++k) {
    int a = static_cast<int>(rng() % kPlayers), b = static_cast<int>(rng() % kPlayers);
    r.push_back(RecordLine({names[a], names[b], a == b ? "Suicide" : "Kill", "Weapon " + std::to_string(rng() % 20),
                     a == b ? "-1" : "1", std::to_string(20 + k / 3) + "." + std::to_string(k % 10)}));
  }
  r.push_back(RecordLine({"", "", "GameEnd", "", "", "1800"}));
  std::vector<std::string> files;
  int n = 0;
  for (const auto& bytes : datagram::SplitBytes(log, 1024)) {
    files.push_back(dir.File("s" + std::to_string(s) + "_" + std::to_string(n++) + ".bin"));
    testkit::WriteFile(files.back(), std::string(bytes.begin(), bytes.end()));
  }
  return files;
}

pid_t Feed(const std::string& cs, const std::string& log, const std::vector<std::string>& files, int s) {
  std::vector<std::string> args = {testkit::BinaryFolder() + "/tallyfeed", "--log-path", log, "--from",
                                   "198.51.100." + std::to_string(s + 1) + ":27960", cs};
  args.insert(args.end(), files.begin(), files.end());
  return testkit::Spawn(args, "/dev/null");
}

// Feeds `processes` servers' games at once into a new database made by `make`.
template <typename MakeDatabase>
void Run(benchmark::State& state, MakeDatabase make) {
  const int processes = static_cast<int>(state.range(0));
  testkit::TempDir dir;
  std::vector<std::vector<std::string>> games;
  for (int s = 0; s < processes; ++s) games.push_back(WriteGame(dir, s));
  int64_t records = 0;
  for (auto _ : state) {
    state.PauseTiming();
    const std::string cs = make(dir);
    schema::CreateDatabaseTables(cs);
    state.ResumeTiming();
    std::vector<pid_t> pids;
    for (int s = 0; s < processes; ++s) pids.push_back(Feed(cs, dir.File("Process.log"), games[s], s));
    for (pid_t pid : pids) {
      int status = 0;
      waitpid(pid, &status, 0);
      if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) state.SkipWithError("tallyfeed failed");
    }
    records += static_cast<int64_t>(processes) * kScoreRecords;
  }
  state.counters["records_per_s"] = benchmark::Counter(static_cast<double>(records), benchmark::Counter::kIsRate);
}

void BM_Feed_Sqlite(benchmark::State& state) {
  int n = 0;
  Run(state, [&](const testkit::TempDir& dir) {
    const std::string file = dir.File("stats" + std::to_string(n++) + ".db");
    testkit::Touch(file);
    return "Provider=SQLite;Data Source=" + file;
  });
}

void BM_Feed_Postgres(benchmark::State& state) {
  static testkit::PgServer server(true);
  Run(state, [&](const testkit::TempDir&) { return server.ConnectionString(server.CreateDatabase("bench")); });
}

// Commits do not wait for the server's log: a crash of the server or of the
// machine may lose the last of them (and the listener's datagrams with them).
void BM_Feed_PostgresAsyncCommit(benchmark::State& state) {
  static testkit::PgServer server(true);
  Run(state, [&](const testkit::TempDir&) {
    return server.ConnectionString(server.CreateDatabase("bench")) + ";Synchronous Commit=off";
  });
}

void BM_Feed_PostgresBig(benchmark::State& state) {
  static testkit::PgServer server(true);
  const bool big = state.range(0) == 1;
  std::atomic<bool> done{false};
  std::thread writer;
  state.SetLabel(big ? "1,000,000 Logs rows, 100,000 players" : "empty");
  testkit::TempDir dir;
  const std::vector<std::string> game = WriteGame(dir, 0);
  for (auto _ : state) {
    state.PauseTiming();
    const std::string database = server.CreateDatabase("big");
    const std::string cs = server.ConnectionString(database);
    schema::CreateDatabaseTables(cs);
    if (big) {
      testkit::PgExec(server, database,
                      "insert into \"Logs\" (\"Record\", \"Log_Port\") select g, 0 from generate_series(1, 1000000) g");
      testkit::PgExec(server, database,
                      "insert into \"Players\" (\"Record\", \"Player\") select g, 'p' || g from generate_series(1, 100000) g");
    }
    testkit::PgExec(server, database, "create table noise (n integer)");
    testkit::PgExec(server, database, "vacuum analyze");
    done = false;
    writer = std::thread([&, cs] {   // another program, writing all the time
      ado::Connection c;
      c.Open(cs);
      for (int n = 0; !done; ++n) c.Execute("insert into noise values (" + std::to_string(n) + ")");
    });
    state.ResumeTiming();
    pid_t pid = Feed(cs, dir.File("Process.log"), game, 0);
    int status = 0;
    waitpid(pid, &status, 0);
    state.PauseTiming();
    done = true;
    writer.join();
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) state.SkipWithError("tallyfeed failed");
    state.ResumeTiming();
  }
  state.counters["passes_per_s"] =
      benchmark::Counter(static_cast<double>(game.size() * state.iterations()), benchmark::Counter::kIsRate);
}

}  // namespace

BENCHMARK(BM_Feed_Sqlite)->Arg(1)->Arg(3)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(2);
BENCHMARK(BM_Feed_Postgres)->Arg(1)->Arg(3)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(2);
BENCHMARK(BM_Feed_PostgresAsyncCommit)->Arg(1)->Arg(3)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(2);

BENCHMARK(BM_Feed_PostgresBig)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

BENCHMARK_MAIN();
