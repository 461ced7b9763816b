// SenderGate: the optional allow-list of senders per listening port.
//
// The list lives in a file of its own beside the connections file, named
// after it with the extension ".allow" (connections.cfg -> connections.allow).
// Format, one port per line:
//
//   # comment (a '#' starts a comment anywhere on a line)
//   28000  10.0.0.5  192.168.1.0/24
//   28001  2001:db8::/32, ::1
//
// A line is a port (1 to 65535) followed by addresses and networks (IPv4 or
// IPv6, a network as address/prefix-length), separated by blanks or commas.
// An IPv4 sender matches IPv4 networks, and IPv4-mapped ones written as such
// (::ffff:a.b.c.d/p with p >= 96); an IPv6 network never matches it. A
// control byte (NUL and the like) anywhere in a line makes it malformed.
// Several lines for one port add up. A port with a list admits only the
// senders it lists; a port without one, or every port when there is no
// file, admits every sender. A malformed line is reported once (naming the
// file, the line number and what is wrong) and its port then refuses every
// sender until the file is mended; when even its port cannot be read, every
// port refuses every sender. The file is read again when it changes (looked
// at every few seconds at most) and by Reload.
//
// A refused datagram costs a counter: it never reaches the engine, nothing
// is written per datagram; each sender address is reported on standard error
// at most once per 10 minutes per port, with the count refused meanwhile.
// Beyond 4,096 senders tracked at once, further senders are only counted
// and summed up in one line a minute ("N more senders refused").
//
// The gate is process-wide (TheSenderGate): the network thread calls Admit,
// the user-interface thread Configure, Reload and the readers. All members
// are thread-safe.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace tallyhost {

struct Network {
  std::array<uint8_t, 16> bytes{};   // IPv4 as IPv4-mapped IPv6
  int prefix = 128;                  // in IPv6 bits
  bool ipv4 = false;                 // covers IPv4 senders only (and no IPv6 one)
  bool Contains(const std::array<uint8_t, 16>& address) const;
};

// Reads an address or network text; false when it is no such thing.
bool ParseNetwork(std::string_view text, Network* out);
// An address text as 16 bytes (IPv4 mapped); false when it is none.
bool ParseAddress(std::string_view text, std::array<uint8_t, 16>* out);

struct AllowList {
  std::map<int, std::vector<Network>> ports;   // ports with a list
  std::map<int, std::string> broken;           // port -> problem; refuses all
  std::string broken_all;                      // non-empty: every port refuses all
  std::vector<std::string> problems;           // one message per malformed line
};
AllowList ParseAllowList(const std::string& text, const std::string& file_name);

class SenderGate {
 public:
  using Clock = std::function<std::chrono::steady_clock::time_point()>;
  static constexpr auto kReportEvery = std::chrono::minutes(10);
  static constexpr auto kSummaryEvery = std::chrono::minutes(1);
  static constexpr size_t kMaxSendersTracked = 4096;

  // Uses the file at `path` (which need not exist) from now on; reads it at
  // once and returns the problems found (for the caller to show; problems
  // found when the file changes later are reported on standard error).
  std::vector<std::string> Configure(const std::string& path);
  std::vector<std::string> Reload();
  // True when a datagram from `sender` (the address text) to `local_port`
  // may pass; counts and reports the refused ones.
  bool Admit(int local_port, const std::string& sender);

  uint64_t Refused(int local_port) const;
  // Why a port refuses every sender, or empty.
  std::string Broken(int local_port) const;
  bool HasList(int local_port) const;

  // For tests: the clock, and where reports go (default standard error).
  void SetClock(Clock clock);
  void SetReporter(std::function<void(const std::string&)> report);

 private:
  std::vector<std::string> ReadLocked();
  void CheckFileLocked();
  void Report(const std::string& line);
  // Counts a refused sender beyond the tracked ones; sums them up once a
  // minute, and then lets go of tracked senders quiet for 10 minutes.
  void CountUntrackedLocked(const std::string& key, std::chrono::steady_clock::time_point now);

  mutable std::mutex mu_;
  std::string path_;
  AllowList list_;
  bool file_present_ = false;
  std::array<int64_t, 3> file_stamp_{-1, -1, -1};   // modification time, size, inode
  std::chrono::steady_clock::time_point last_check_{};
  std::map<int, uint64_t> refused_;
  struct Seen {
    std::chrono::steady_clock::time_point reported;
    uint64_t since_report = 0;
  };
  std::map<std::pair<int, std::string>, Seen> senders_;
  std::set<std::string> untracked_;   // since the last summary, at most kMaxUntrackedCounted
  uint64_t untracked_datagrams_ = 0;
  std::chrono::steady_clock::time_point summary_due_{};
  Clock clock_;
  std::function<void(const std::string&)> report_;
};

SenderGate& TheSenderGate();
// Start-up: configures the gate with the allow-list beside the connections
// file at `connections_path`; problems are shown in one OK-only box.
void ConfigureSenderGate(const std::string& connections_path);
// The allow-list file beside the connections file at `connections_path`.
std::string AllowListPath(const std::string& connections_path);

}  // namespace tallyhost
