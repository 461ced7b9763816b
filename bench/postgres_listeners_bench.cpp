// Score records per second end to end through headless listeners, side by
// side in one run: one listener into SQLite; one listener, and three (three
// processes, a port each, the game servers split over them), into one
// PostgreSQL database; and the PostgreSQL cases again with every round trip
// to the server slowed by a relay that holds each chunk 0.5 ms each way.
// Every datagram is about 1 KB and carries one score record
// (listener_traffic.h). Timing runs from the first datagram sent until Logs
// holds them all.
//
// The PostgreSQL server is a private one with the default durability; the
// listeners reach it over TCP on loopback, directly or through the relay.
// Beside records/s each PostgreSQL case reports what the server saw: the
// duplicate-key errors it logged, statements, commits and rows returned by
// selects per datagram (pg_stat_statements), the server's time in the
// advisory lock statements, and where the listeners' sessions were when
// sampled (running, waiting for a lock or for the log, idle in a
// transaction waiting for the listener, idle). A summary of the rates and
// their ratios follows the benchmark table.
//
// TALLY_BENCH_DATAGRAMS sets the datagrams per case (5,000);
// TALLY_BENCH_PG_SOCKET=1 reaches the server without the relay over its
// Unix socket instead of TCP;
// TALLY_BENCH_STATEMENTS=FILE appends each PostgreSQL run's busiest
// statements to FILE; TALLY_BENCH_PG_FSYNC=off starts the server without
// log syncs; TALLY_BENCH_PG_LOG_DURATIONS=1 has the server log each of the
// listeners' statements with its duration, and adds the mean pass's
// timeline around the lock that numbers Logs (use a few hundred datagrams:
// the log grows by some 100 KB a datagram); TALLY_BENCH_PG_LOG=FILE appends
// the server's log of each run to FILE.
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "delay_relay.h"
#include "listener_traffic.h"
#include "pass_timeline.h"
#include "pg_server.h"
#include "pg_watch.h"
#include "probes.h"
#include "process_kit.h"
#include "test_env.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kServers = 6;   // game servers, split evenly over the listeners
constexpr size_t kDatagramBytes = 1024;

int DatagramsPerCase() {
  const char* n = std::getenv("TALLY_BENCH_DATAGRAMS");
  return n && std::atoi(n) > 0 ? std::atoi(n) : 5000;
}

const benchkit::Traffic& TheTraffic() {
  static const benchkit::Traffic t = benchkit::ListenerTraffic(kServers, DatagramsPerCase(), kDatagramBytes);
  return t;
}

// The server syncs its log at each commit, as an installed one does;
// TALLY_BENCH_PG_FSYNC=off starts it without (to see what the syncs cost).
testkit::PgServer& Server() {
  static testkit::PgServer server(!(std::getenv("TALLY_BENCH_PG_FSYNC") &&
                                    std::string(std::getenv("TALLY_BENCH_PG_FSYNC")) == "off"));
  return server;
}



// CPU seconds a process has used so far (user and system).
double CpuSeconds(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const size_t close = stat.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream fields(stat.substr(close + 2));
  std::string f;
  double ticks = 0;
  for (int i = 3; fields >> f && i <= 15; ++i)
    if (i == 14 || i == 15) ticks += std::atof(f.c_str());
  return ticks / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

// Records/s of each run by case, for the summary.
std::map<std::string, std::vector<double>>& Rates() {
  static std::map<std::string, std::vector<double>> rates;
  return rates;
}

std::string CaseName(bool pg, int listeners, int delay_us) {
  std::string name = pg ? "PostgreSQL" : "SQLite";
  name += ", " + std::to_string(listeners) + (listeners == 1 ? " listener" : " listeners");
  if (delay_us >= 0) name += ", relay " + std::to_string(delay_us) + " us";
  return name;
}

// Arguments: {0 SQLite / 1 PostgreSQL, listeners, relay delay in
// microseconds or -1 for none}.
void BM_Listeners(benchmark::State& state) {
  const bool pg = state.range(0) == 1;
  const int listeners = static_cast<int>(state.range(1));
  const int delay_us = static_cast<int>(state.range(2));
  const benchkit::Traffic& traffic = TheTraffic();
  const long long total = static_cast<long long>(traffic.datagrams.size());

  for (auto _ : state) {
    testkit::TempDir tmp;
    std::string cs, database, sqlite_file;
    std::unique_ptr<benchkit::DelayRelay> relay;
    std::unique_ptr<benchkit::PgWatch> watch;
    if (pg) {
      database = Server().CreateDatabase("lst");
      int port = Server().Port();
      if (delay_us >= 0) {
        relay = std::make_unique<benchkit::DelayRelay>(port, std::chrono::microseconds(delay_us));
        port = relay->Port();
      }
      cs = "Provider=PostgreSQL;Persist Security Info=False;Data Source=" + database +
           ";Location=127.0.0.1:" + std::to_string(port) + ";User ID=tally;User Password=tally";
      // TALLY_BENCH_PG_SOCKET=1: without the relay, over the server's Unix
      // socket instead of TCP (a database on the listener's own machine).
      if (delay_us < 0 && std::getenv("TALLY_BENCH_PG_SOCKET")) cs = Server().ConnectionString(database);
      watch = std::make_unique<benchkit::PgWatch>(Server(), database);
      if (std::getenv("TALLY_BENCH_PG_LOG_DURATIONS")) watch->LogDurations();
    } else {
      sqlite_file = tmp.File("stats.db");
      testkit::Touch(sqlite_file);
      cs = "Provider=SQLite;Data Source=" + sqlite_file;
    }
    auto logs_rows = [&] { return pg ? watch->LogsRows() : SqliteLogsCount(sqlite_file); };

    std::vector<std::unique_ptr<datapath::Listener>> procs;
    std::vector<std::unique_ptr<datapath::Sender>> senders;
    for (int l = 0; l < listeners; ++l) {
      const int port = testkit::FreeUdpPort();
      procs.push_back(std::make_unique<datapath::Listener>(tmp.File("l" + std::to_string(l)),
                                                           std::vector<datapath::Listener::Entry>{{port, cs}}));
      procs.back()->Launch();
      senders.push_back(std::make_unique<datapath::Sender>(port));
    }
    bool started = true;
    for (auto& p : procs) started = p->WaitStarted() && started;
    started = started && datapath::WaitFor([&] { return logs_rows() >= 0; }, std::chrono::seconds(30));
    if (!started) {
      state.SkipWithError("a listener did not start");
      break;
    }

    const uint64_t log_from = pg ? benchkit::ServerLogSize(Server()) : 0;
    const benchkit::Statements before = pg ? watch->StatementTotals() : benchkit::Statements{};
    const long long drops_before = RcvbufErrors();
    const long long requests_before = relay ? relay->Requests() : 0;
    benchkit::Activity activity;

    const auto start = Clock::now();
    for (size_t i = 0; i < traffic.datagrams.size(); ++i) {
      senders[traffic.server[i] % listeners]->Send(traffic.datagrams[i]);
      std::this_thread::sleep_for(std::chrono::microseconds(20));
    }
    const double send_s = std::chrono::duration<double>(Clock::now() - start).count();
    long long stored = 0, last = -1;
    auto last_change = Clock::now();
    for (int tick = 0; stored < total; ++tick) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      if (pg) watch->Sample(activity);
      if (tick % 3 != 2) continue;
      stored = std::max(stored, logs_rows());
      if (stored != last) {
        last = stored;
        last_change = Clock::now();
      } else if (Clock::now() - last_change > std::chrono::seconds(60)) {
        break;   // stalled
      }
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    const long long drops = RcvbufErrors() - drops_before;
    const long long requests = relay ? relay->Requests() - requests_before : 0;

    long long failed = 0, waiting = 0;
    double cpu = 0;
    for (auto& p : procs) {
      cpu += CpuSeconds(p->child().pid());
      p->Stop();
      const std::string out = p->Output();
      failed += benchkit::Occurrences(out, "Processing failed");
      waiting += benchkit::Occurrences(out, "waits in the spool");
    }

    const double n = static_cast<double>(total);
    const double records_per_s = traffic.score_records * (static_cast<double>(stored) / n) / seconds;
    state.SetIterationTime(seconds);
    state.counters["records_per_s"] = records_per_s;
    state.counters["datagrams_per_s"] = static_cast<double>(stored) / seconds;
    state.counters["stored_of_sent"] = static_cast<double>(stored) / n;
    state.counters["send_s"] = send_s;
    state.counters["udp_drops_machine"] = static_cast<double>(drops);
    state.counters["listener_cpu_ms_per_dgram"] = cpu * 1000 / n;
    state.counters["failed_passes"] = static_cast<double>(failed);
    state.counters["deferred_passes"] = static_cast<double>(waiting);
    if (pg) {
      const std::string server_log = benchkit::ServerLog(Server(), log_from);
      const benchkit::Statements after = watch->StatementTotals();
      state.counters["dup_key_errors"] = static_cast<double>(benchkit::Occurrences(server_log, "duplicate key value"));
      // Of which two programs creating one table at once (the catalog's key).
      state.counters["dup_key_catalog"] =
          static_cast<double>(benchkit::Occurrences(server_log, "unique constraint \"pg_type_typname_nsp_index\""));
      state.counters["server_errors"] = static_cast<double>(benchkit::Occurrences(server_log, "ERROR:"));
      state.counters["stmts_per_dgram"] = (after.calls - before.calls) / n;
      state.counters["commits_per_dgram"] = (after.commits - before.commits) / n;
      state.counters["rows_read_per_dgram"] = (after.select_rows - before.select_rows) / n;
      state.counters["server_ms_per_dgram"] = (after.exec_ms - before.exec_ms) / n;
      state.counters["lock_stmt_ms_per_dgram"] = (after.lock_call_ms - before.lock_call_ms) / n;
      if (relay) state.counters["requests_per_dgram"] = static_cast<double>(requests) / n;
      const double samples = std::max<long long>(1, activity.Total());
      state.counters["sessions"] = samples / std::max<long long>(1, activity.samples);
      state.counters["s_running"] = activity.running / samples;
      state.counters["s_advisory_wait"] = activity.advisory_wait / samples;
      state.counters["s_other_lock_wait"] = activity.other_lock_wait / samples;
      state.counters["s_io_wait"] = activity.io_wait / samples;
      state.counters["s_idle_in_tx"] = activity.in_transaction / samples;
      state.counters["s_idle"] = activity.idle / samples;
      if (std::getenv("TALLY_BENCH_PG_LOG_DURATIONS")) {
        const benchkit::PassTimes t = benchkit::PassTimeline(server_log);
        state.counters["tx_ms"] = t.transaction_ms;
        state.counters["tx_stmts"] = t.statements;
        state.counters["logs_lock_stmt"] = t.lock_statement;
        state.counters["logs_lock_after_ms"] = t.until_lock_ms;
        state.counters["logs_lock_wait_ms"] = t.lock_wait_ms;
        state.counters["logs_lock_held_ms"] = t.lock_held_ms;
      }
      if (const char* file = std::getenv("TALLY_BENCH_PG_LOG"))
        std::ofstream(file, std::ios::app) << "== " << CaseName(pg, listeners, delay_us) << "\n" << server_log;
      if (const char* file = std::getenv("TALLY_BENCH_STATEMENTS")) {
        std::ofstream(file, std::ios::app) << "== " << CaseName(pg, listeners, delay_us) << ": " << stored
                                            << " datagrams in " << seconds << " s\n"
                                            << "-- by the server's time\n" << watch->TopStatements(15)
                                            << "-- by calls\n" << watch->TopStatements(25, true)
                                            << "-- errors\n" << benchkit::ErrorLines(server_log, 30) << "\n";
      }
      watch.reset();
      Server().DropDatabase(database);
    }
    Rates()[CaseName(pg, listeners, delay_us)].push_back(records_per_s);
  }
}

void PrintSummary() {
  const auto& rates = Rates();
  auto mean = [&](const std::string& name) -> std::optional<double> {
    auto it = rates.find(name);
    if (it == rates.end() || it->second.empty()) return std::nullopt;
    double sum = 0;
    for (double r : it->second) sum += r;
    return sum / static_cast<double>(it->second.size());
  };
  const benchkit::Traffic& t = TheTraffic();
  std::printf("\n%zu datagrams a case (%.0f bytes on average), %lld score records, %d game servers\n",
              t.datagrams.size(), static_cast<double>(t.bytes) / static_cast<double>(t.datagrams.size()),
              t.score_records, kServers);
  std::printf("%-40s %s\n", "case", "score records/s, each run");
  for (const auto& [name, runs] : rates) {
    std::printf("%-40s", name.c_str());
    for (double r : runs) std::printf(" %9.0f", r);
    std::printf("\n");
  }
  auto ratio = [&](const char* what, const std::string& a, const std::string& b, double target) {
    auto x = mean(a), y = mean(b);
    if (!x || !y) return;
    std::printf("%-48s %6.2f  (target >= %.1f: %s)\n", what, *x / *y, target, *x / *y >= target ? "met" : "missed");
  };
  ratio("PostgreSQL 1 listener / SQLite 1 listener", CaseName(true, 1, -1), CaseName(false, 1, -1), 0.5);
  ratio("PostgreSQL 3 listeners / 1 listener", CaseName(true, 3, -1), CaseName(true, 1, -1), 1.0);
  ratio("relay 500 us: 3 listeners / 1 listener", CaseName(true, 3, 500), CaseName(true, 1, 500), 2.0);
}

}  // namespace

BENCHMARK(BM_Listeners)
    ->ArgNames({"pg", "listeners", "delay_us"})
    ->Args({0, 1, -1})
    ->Args({1, 1, -1})
    ->Args({1, 3, -1})
    ->Args({1, 1, 0})   // the relay's own cost
    ->Args({1, 1, 500})
    ->Args({1, 3, 500})
    ->Iterations(1)
    ->Repetitions(2)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  PrintSummary();
  return 0;
}
