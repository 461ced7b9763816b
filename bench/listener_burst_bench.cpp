// A burst of datagrams sent by tallysend as fast as it can to a headless
// listener on loopback: how many reach Logs, the datagrams per second end to
// end (first sent to last archived), the listener's peak memory and the rise
// of the kernel's UDP receive-buffer drop counters during the run: for the
// whole machine (RcvbufErrors in /proc/net/snmp) and at the listener's
// socket (/proc/net/udp). The burst runs once with no spool option and once
// per spoolsync setting (every, 200 = the default, system).
//
// And a stream of 200 datagrams/s while another connection holds the
// database's write lock for 60 s, with the default settings: how many are
// lost, and how long after the release the waiting ones take to be stored.
//
// The programs (tallyhost, tallysend) come from TALLY_BENCH_BIN_DIR when it
// is set, else from this benchmark's own folder, so the same runs can drive
// another build. A tallyhost that has no spoolsync option skips the runs that
// need it. What the listener writes to standard error is copied to ours.
//
// Arguments after the benchmark flags: none. Figures are reported as
// counters.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "probes.h"
#include "test_env.h"

namespace {

using Clock = std::chrono::steady_clock;

double SecondsBetween(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double>(to - from).count();
}

// The folder of the programs under test.
std::string ProgramFolder() {
  const char* dir = std::getenv("TALLY_BENCH_BIN_DIR");
  return dir && *dir ? std::string(dir) : testkit::BinaryFolder();
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Whether the tallyhost in `bin` takes spoolsync= (its usage names it).
bool KnowsSpoolSync(const std::string& bin) {
  testkit::TempDir tmp;
  const std::string out = tmp.File("help.txt");
  pid_t pid = testkit::Spawn({bin + "/tallyhost", "--help"}, out);
  int status = 0;
  waitpid(pid, &status, 0);
  return ReadAll(out).find("spoolsync") != std::string::npos;
}

int FreeUdpPort() {
  // A port unlikely to be taken, fixed per benchmark process.
  return 20000 + static_cast<int>(::getpid() % 20000);
}



// Datagrams the kernel dropped at the sockets bound to `port` (receive
// buffer full): the last column of /proc/net/udp and udp6.
long long SocketDrops(int port) {
  char hex_port[8];
  std::snprintf(hex_port, sizeof hex_port, "%04X", static_cast<unsigned>(port) & 0xffff);
  long long drops = 0;
  for (const char* table : {"/proc/net/udp", "/proc/net/udp6"}) {
    std::ifstream in(table);
    std::string line, slot, local, field, last;
    std::getline(in, line);   // header
    while (std::getline(in, line)) {
      std::istringstream fields(line);
      fields >> slot >> local;
      if (local.substr(local.rfind(':') + 1) != hex_port) continue;
      while (fields >> field) last = field;
      drops += std::stoll(last);
    }
  }
  return drops;
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

// A headless listener on one SQLite entry in a folder of its own; stopped
// (SIGTERM) on Stop() or destruction.
class Listener {
 public:
  Listener(const std::string& bin, int port, const std::string& db_options, const std::string& spool_sync)
      : db_(tmp_.File("listener.db")), port_(port) {
    const std::string program = tmp_.path() + "/data/tallyhost";
    std::filesystem::create_directories(program);
    testkit::Touch(db_);
    {
      std::ofstream cfg(program + "/connections.cfg", std::ios::binary);
      cfg << "Port=" << port << ",Database=Provider=SQLite;Data Source=" << db_ << db_options
          << ",Logon=False,Log=" << tmp_.File("logs/Process.log") << "\r\n";
    }
    std::vector<std::string> argv = {bin + "/tallyhost", "headless=1", "logout=0"};
    if (!spool_sync.empty()) argv.push_back("spoolsync=" + spool_sync);
    pid_ = testkit::Spawn(argv, tmp_.File("out.txt"), {}, tmp_.File("err.txt"));
    // Ready once the tables exist and the port has had time to be bound.
    while (SqliteLogsCount(db_) < 0) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
  }
  ~Listener() { Stop(); }

  // Stops the listener and copies its standard error, if any, to ours (its
  // standard output has a line per datagram).
  void Stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    const std::string err = ReadAll(tmp_.File("err.txt"));
    if (!err.empty()) std::fprintf(stderr, "-- listener's standard error --\n%s-- end --\n", err.c_str());
  }

  const std::string& db() const { return db_; }
  int port() const { return port_; }
  std::string File(const std::string& name) const { return tmp_.File(name); }
  long PeakMemoryKb() const { return PeakRssKb(pid_); }

  // tallysend from `bin` with `args` and the game log, run to its end.
  void Send(const std::string& bin, std::vector<std::string> args, const std::string& log) const {
    args.insert(args.begin(), {bin + "/tallysend", "--to", "127.0.0.1:" + std::to_string(port_)});
    args.push_back(log);
    pid_t sender = testkit::Spawn(args, tmp_.File("send.txt"));
    int status = 0;
    waitpid(sender, &status, 0);
  }

 private:
  testkit::TempDir tmp_;
  std::string db_;
  int port_;
  pid_t pid_ = -1;
};

struct Stored {
  long long count = 0;
  Clock::time_point last_rise;   // when the count was last seen to grow
};

// Polls Logs until `target()` rows are stored or the count has not grown for
// `stall`.
template <class Target>
Stored WaitStored(const std::string& db, Target target, std::chrono::milliseconds poll,
                  std::chrono::seconds stall, Clock::time_point since) {
  Stored s{0, since};
  while (s.count < target() && Clock::now() - s.last_rise <= stall) {
    std::this_thread::sleep_for(poll);
    const long long n = SqliteLogsCount(db);
    if (n > s.count) {
      s.count = n;
      s.last_rise = Clock::now();
    }
  }
  return s;
}

void BM_ListenerBurst(benchmark::State& state, const char* spool_sync) {
  const int kDatagrams = static_cast<int>(state.range(0));
  const std::string bin = ProgramFolder();
  if (*spool_sync && !KnowsSpoolSync(bin)) {
    state.SkipWithError("this tallyhost has no spoolsync option");
    return;
  }
  for (auto _ : state) {
    Listener listener(bin, FreeUdpPort(), "", spool_sync);
    const std::string log = WriteGameLog(listener.File("game.log"), 400);
    const long long drops_before = RcvbufErrors();
    const auto start = Clock::now();
    listener.Send(bin, {"--max-size", "1024", "--count", std::to_string(kDatagrams)}, log);
    const double send_seconds = SecondsBetween(start, Clock::now());
    // Done when all but the datagrams the kernel dropped at the socket are
    // stored. The end is the last rise of the count, so that a stall does
    // not count as time spent.
    const int port = listener.port();
    const Stored stored = WaitStored(listener.db(), [&] { return kDatagrams - SocketDrops(port); },
                                     std::chrono::milliseconds(250), std::chrono::seconds(60), start);
    const long long socket_drops = SocketDrops(port);
    const double seconds = std::max(SecondsBetween(start, stored.last_rise), 1e-3);
    const long peak_kb = listener.PeakMemoryKb();
    const long long drops = RcvbufErrors() - drops_before;
    listener.Stop();
    state.SetIterationTime(seconds);
    state.counters["sent"] = kDatagrams;
    state.counters["archived"] = static_cast<double>(stored.count);
    state.counters["per_second"] = stored.count / seconds;
    state.counters["send_seconds"] = send_seconds;
    state.counters["peak_rss_mb"] = peak_kb / 1024.0;
    state.counters["stored_of_sent"] = static_cast<double>(stored.count) / kDatagrams;
    state.counters["kernel_rcvbuf_drops"] = static_cast<double>(drops);
    state.counters["socket_drops"] = static_cast<double>(socket_drops);
  }
}

// A lock of `range(1)` seconds held while a stream of `range(0)`
// datagrams/s arrives; the stream ends with the lock.
void BM_LockedStream(benchmark::State& state) {
  const int rate = static_cast<int>(state.range(0));
  const int lock_seconds = static_cast<int>(state.range(1));
  const int total = rate * lock_seconds;
  const std::string bin = ProgramFolder();
  for (auto _ : state) {
    Listener listener(bin, FreeUdpPort() + 1, ";Busy Timeout=500", "");
    const std::string log = WriteGameLog(listener.File("game.log"), 4000);
    sqlite3* holder = nullptr;
    sqlite3_open(listener.db().c_str(), &holder);
    sqlite3_exec(holder, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
    listener.Send(bin, {"--max-size", "300", "--rate", std::to_string(rate), "--count",
                        std::to_string(total), "--quiet"}, log);
    const long long during_lock = SqliteLogsCount(listener.db());
    sqlite3_exec(holder, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(holder);
    const auto released = Clock::now();
    const Stored stored = WaitStored(listener.db(), [&] { return total; }, std::chrono::milliseconds(100),
                                     std::chrono::seconds(90), released);
    const double drain = SecondsBetween(released, stored.last_rise);
    const long peak_kb = listener.PeakMemoryKb();
    listener.Stop();
    state.SetIterationTime(drain);
    state.counters["sent"] = total;
    state.counters["stored"] = static_cast<double>(stored.count);
    state.counters["lost"] = static_cast<double>(total - stored.count);
    state.counters["stored_during_lock"] = static_cast<double>(during_lock);
    state.counters["drain_seconds"] = drain;
    state.counters["peak_rss_mb"] = peak_kb / 1024.0;
  }
}

}  // namespace

// "none" passes no spool option: the default for a build that has it, and
// the only run for one that has not.
BENCHMARK_CAPTURE(BM_ListenerBurst, none, "")->Arg(100000)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);
BENCHMARK_CAPTURE(BM_ListenerBurst, every, "every")->Arg(100000)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);
BENCHMARK_CAPTURE(BM_ListenerBurst, sync_200ms, "200")->Arg(100000)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);
BENCHMARK_CAPTURE(BM_ListenerBurst, system, "system")->Arg(100000)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);
BENCHMARK(BM_LockedStream)->Args({200, 60})->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);
BENCHMARK_MAIN();
