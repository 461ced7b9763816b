// Helpers for the data path tests, which drive the real programs: child
// processes (tallyfeed, the headless tallyhost) started with fork/exec, UDP
// datagrams sent over loopback, game datagrams built with the engine's
// datagram builder, and whole-database comparisons.
//
// One test thread; children are killed (SIGKILL) when their Child object is
// destroyed while they still run.
#pragma once

#include <gmock/gmock.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "datagram_builder.h"
#include "test_env.h"

namespace datapath {

using testkit::Child;
using ::testing::AllOf;
using ::testing::HasSubstr;
using ::testing::Not;

std::string Bin(const std::string& program);   // the built program's path

// A headless tallyhost in a folder of its own: <folder>/data/tallyhost is
// the program folder (XDG_DATA_HOME=<folder>/data), the registry is
// <folder>/registry. Each entry is a port and a connection string.
class Listener {
 public:
  struct Entry {
    int port;
    std::string connection;
  };
  Listener(const std::string& folder, std::vector<Entry> entries,
           const std::vector<std::string>& env = {});
  // Starts the program, with `env` ("NAME=value") added to its environment
  // for this run, and waits for its about line (start-up done); whether it
  // still runs then.
  bool Start(const std::vector<std::string>& env = {});
  // Start in two steps, for programs started together.
  void Launch(const std::vector<std::string>& env = {});
  bool WaitStarted();
  // SIGTERM and wait; the seconds it took, or -1 when it did not end in 60 s.
  double Stop(int sig = 15);
  Child& child() { return child_; }
  std::string Output() const;   // everything it wrote so far
  std::string ProgramFolder() const { return folder_ + "/data/tallyhost"; }
  // The spool file of the entry on `port`.
  std::string SpoolFile(int port) const;
  long RssKb(const char* field = "VmRSS:") const;
  std::vector<std::string> options;   // further command-line options of the next Start
  std::string logout = "0";            // the raw log switch of the next Start (logout=)

 private:
  std::string folder_;
  std::vector<Entry> entries_;
  std::vector<std::string> env_;
  Child child_;
  int run_ = 0;
};

using testkit::FreeUdpPort;

// A UDP socket sending to 127.0.0.1:port.
class Sender {
 public:
  explicit Sender(int port);
  ~Sender();
  void Send(const std::vector<uint8_t>& bytes);

 private:
  int fd_ = -1;
  int port_;
};

// A game of one server as datagrams of at most `max_bytes`: opening
// records, `scores` score records among `players` players, GameEnd when
// `end`. Each datagram differs from every other (packet numbers, offsets).
std::vector<std::vector<uint8_t>> Game(const std::string& host, int scores, size_t max_bytes,
                                       int players = 8, bool end = true, uint32_t first_packet = 1);

// The bytes the listener's spool takes for a datagram from 127.0.0.1, and
// for the spool file's own header.
uint64_t SpooledBytes(const std::vector<uint8_t>& datagram);
constexpr uint64_t kSpoolFileHeader = 64;

// The records of a game datagram that each store a score row (kills,
// suicides, connects).
long long ScoreRecords(const std::vector<uint8_t>& datagram);

// tallyfeed with `options` storing `files` into `cs`, its process log at
// `log`, its output in `out`, `env` ("NAME=value") added to its environment.
// Feed waits for its exit status.
Child StartFeed(const std::string& log, const std::string& cs, const std::vector<std::string>& files,
                const std::string& out, const std::vector<std::string>& options = {},
                const std::vector<std::string>& env = {});
inline int Feed(const std::string& log, const std::string& cs, const std::vector<std::string>& files,
                const std::string& out, const std::vector<std::string>& options = {}) {
  return StartFeed(log, cs, files, out, options).Wait();
}

// Writes each datagram to <folder>/<prefix>NNNN.bin; the paths.
std::vector<std::string> WriteDatagrams(const std::string& folder, const std::string& prefix,
                                        const std::vector<std::vector<uint8_t>>& datagrams);

// An SQLite file with the seventeen tables (tallyfeed --create-tables).
void CreateDatabase(const std::string& path);
std::string SqliteCs(const std::string& path, const std::string& extra = "");

// Row count of every table of the file.
std::map<std::string, long long> Counts(const std::string& db);
// Every table's rows, sorted, with the columns that hold the processing time
// (Date_Time, Log_Date) left out.
std::map<std::string, std::vector<std::string>> Dump(const std::string& db);
std::string IntegrityCheck(const std::string& db);
long long CountOf(const std::string& db, const std::string& sql);
// Waits until the Logs table holds `n` rows and nothing further comes.
void WaitStored(const std::string& db, long long n, std::chrono::seconds timeout = std::chrono::seconds(60));

// A tmpfs of `size` (as mount's size= option) mounted on `folder` (created)
// until destroyed; `error` tells why when it could not be mounted.
struct Tmpfs {
  Tmpfs(const std::string& folder, const std::string& size);
  ~Tmpfs();
  bool Resize(const std::string& size);
  std::string folder, error;
};

// Waits until `done` or `timeout`; whether `done` held.
template <class F>
bool WaitFor(F done, std::chrono::milliseconds timeout,
             std::chrono::microseconds step = std::chrono::milliseconds(50)) {
  const auto until = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(step);
  }
  return true;
}

}  // namespace datapath
