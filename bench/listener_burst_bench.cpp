// A burst of datagrams sent by tallysend as fast as it can to a headless
// listener on loopback: how many reach Logs, the datagrams per second end to
// end (first sent to last archived), the listener's peak memory and the rise
// of the kernel's UDP receive-buffer drop counter (RcvbufErrors in
// /proc/net/snmp, for the whole machine) during the run.
//
// And a stream of 200 datagrams/s while another connection holds the
// database's write lock for 60 s: how many are lost, and how long after the
// release the waiting ones take to be stored.
//
// Arguments after the benchmark flags: none. Figures are reported as
// counters.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "test_env.h"

namespace {

int FreeUdpPort() {
  // The kernel's choice of a free port, for the listener to bind.
  return 20000 + static_cast<int>(::getpid() % 20000);
}

long long LogsCount(const std::string& db_path) {
  sqlite3* db = nullptr;
  long long n = -1;
  if (sqlite3_open_v2(db_path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    sqlite3_busy_timeout(db, 2000);
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(db, "SELECT count(*) FROM Logs", -1, &st, nullptr) == SQLITE_OK &&
        sqlite3_step(st) == SQLITE_ROW)
      n = sqlite3_column_int64(st, 0);
    sqlite3_finalize(st);
  }
  sqlite3_close(db);
  return n;
}

long long RcvbufErrors() {
  std::ifstream in("/proc/net/snmp");
  std::string header, values;
  while (std::getline(in, header) && std::getline(in, values)) {
    if (header.rfind("Udp:", 0) != 0) continue;
    std::istringstream h(header), v(values);
    std::string name, value;
    while (h >> name && v >> value)
      if (name == "RcvbufErrors") return std::stoll(value);
  }
  return -1;
}

long PeakRssKb(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
  return -1;
}

// A game log: a game's opening lines, then kills, so that every datagram
// carries score records (about 1 KB each at --max-size 1024).
std::string WriteGameLog(const std::string& path, int lines) {
  std::ofstream out(path, std::ios::binary);
  out << "\t\tStdLog\t1.2\t\t\n\t\tMap\tq3dm17\t\t\n\t\tGameStart\t\t\t\n";
  const char* names[] = {"Alice", "Bob", "Carol", "Dave"};
  for (int i = 0; i < lines; ++i)
    out << names[i % 4] << "\t" << names[(i + 1) % 4] << "\tKill\tRailgun\t1\t" << i << ".5\n";
  return path;
}

void BM_ListenerBurst(benchmark::State& state) {
  const int kDatagrams = static_cast<int>(state.range(0));
  const std::string bin = testkit::BinaryFolder();
  for (auto _ : state) {
    testkit::TempDir tmp;
    std::string program = tmp.path() + "/data/tallyhost";
    std::filesystem::create_directories(program);
    std::string db = tmp.File("burst.db");
    testkit::Touch(db);
    int port = FreeUdpPort();
    {
      std::ofstream cfg(program + "/connections.cfg", std::ios::binary);
      cfg << "Port=" << port << ",Database=Provider=SQLite;Data Source=" << db
          << ",Logon=False,Log=" << tmp.File("logs/Process.log") << "\r\n";
    }
    pid_t listener = testkit::Spawn({bin + "/tallyhost", "headless=1", "logout=0"}, tmp.File("out.txt"));
    // Ready once the tables exist and the port answers as taken.
    while (LogsCount(db) < 0) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));

    std::string log = WriteGameLog(tmp.File("game.log"), 400);
    const long long drops_before = RcvbufErrors();
    auto start = std::chrono::steady_clock::now();
    pid_t sender = testkit::Spawn({bin + "/tallysend", "--to", "127.0.0.1:" + std::to_string(port),
                          "--max-size", "1024", "--count", std::to_string(kDatagrams), log},
                         tmp.File("send.txt"));
    int status = 0;
    waitpid(sender, &status, 0);
    double send_seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    long long archived = 0, last = -1;
    auto last_change = std::chrono::steady_clock::now();
    while (archived < kDatagrams) {
      std::this_thread::sleep_for(std::chrono::milliseconds(250));
      archived = std::max(archived, LogsCount(db));
      if (archived != last) {
        last = archived;
        last_change = std::chrono::steady_clock::now();
      } else if (std::chrono::steady_clock::now() - last_change > std::chrono::seconds(60)) {
        break;   // stalled
      }
    }
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    long peak_kb = PeakRssKb(listener);
    const long long drops = RcvbufErrors() - drops_before;
    kill(listener, SIGTERM);
    waitpid(listener, &status, 0);
    state.SetIterationTime(seconds);
    state.counters["sent"] = kDatagrams;
    state.counters["archived"] = static_cast<double>(archived);
    state.counters["per_second"] = archived / seconds;
    state.counters["send_seconds"] = send_seconds;
    state.counters["peak_rss_mb"] = peak_kb / 1024.0;
    state.counters["stored_of_sent"] = static_cast<double>(archived) / kDatagrams;
    state.counters["kernel_rcvbuf_drops"] = static_cast<double>(drops);
  }
}

// A lock of `range(1)` seconds held while a stream of `range(0)`
// datagrams/s arrives; the stream ends with the lock.
void BM_LockedStream(benchmark::State& state) {
  const int rate = static_cast<int>(state.range(0));
  const int lock_seconds = static_cast<int>(state.range(1));
  const int total = rate * lock_seconds;
  const std::string bin = testkit::BinaryFolder();
  for (auto _ : state) {
    testkit::TempDir tmp;
    std::string program = tmp.path() + "/data/tallyhost";
    std::filesystem::create_directories(program);
    std::string db = tmp.File("locked.db");
    testkit::Touch(db);
    int port = FreeUdpPort() + 1;
    {
      std::ofstream cfg(program + "/connections.cfg", std::ios::binary);
      cfg << "Port=" << port << ",Database=Provider=SQLite;Data Source=" << db
          << ";Busy Timeout=500,Logon=False,Log=" << tmp.File("logs/Process.log") << "\r\n";
    }
    pid_t listener = testkit::Spawn({bin + "/tallyhost", "headless=1", "logout=0"}, tmp.File("out.txt"));
    while (LogsCount(db) < 0) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    std::string log = WriteGameLog(tmp.File("game.log"), 4000);
    sqlite3* holder = nullptr;
    sqlite3_open(db.c_str(), &holder);
    sqlite3_exec(holder, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
    pid_t sender = testkit::Spawn({bin + "/tallysend", "--to", "127.0.0.1:" + std::to_string(port),
                          "--max-size", "300", "--rate", std::to_string(rate), "--count",
                          std::to_string(total), "--quiet", log},
                         tmp.File("send.txt"));
    int status = 0;
    waitpid(sender, &status, 0);
    const long long during_lock = LogsCount(db);
    sqlite3_exec(holder, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(holder);
    const auto released = std::chrono::steady_clock::now();
    long long stored = 0, last = -1;
    auto last_change = released;
    while (stored < total) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      stored = std::max(stored, LogsCount(db));
      if (stored != last) {
        last = stored;
        last_change = std::chrono::steady_clock::now();
      } else if (std::chrono::steady_clock::now() - last_change > std::chrono::seconds(90)) {
        break;   // stalled
      }
    }
    const double drain = std::chrono::duration<double>(std::chrono::steady_clock::now() - released).count();
    long peak_kb = PeakRssKb(listener);
    kill(listener, SIGTERM);
    waitpid(listener, &status, 0);
    state.SetIterationTime(drain);
    state.counters["sent"] = total;
    state.counters["stored"] = static_cast<double>(stored);
    state.counters["lost"] = static_cast<double>(total - stored);
    state.counters["stored_during_lock"] = static_cast<double>(during_lock);
    state.counters["drain_seconds"] = drain;
    state.counters["peak_rss_mb"] = peak_kb / 1024.0;
  }
}

}  // namespace

BENCHMARK(BM_ListenerBurst)->Arg(100000)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);
BENCHMARK(BM_LockedStream)->Args({200, 60})->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);
BENCHMARK_MAIN();
