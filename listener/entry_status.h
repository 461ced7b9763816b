// EntryStatus: what each connection entry is doing, for the window, the
// headless status report and the metrics endpoint.
//
// Per entry (by entry number): listening or not and why not (port in use,
// database failed at start-up, port 0); datagrams received, stored (and of
// those, stored incompletely: a statement ignored or a pass stopped at a
// prompt, lines skipped as unreadable), failed, refused (by the allow-list)
// and waiting (with the reason they wait); the
// time of the last datagram; per game server (hostname and address) when it
// was last heard; the count of information boxes not shown again; a
// histogram of processing pass durations. Problems (failed and incomplete
// passes, entries that cannot listen) are kept in a list of recent problems until they are
// marked read (at most the last 100).
//
// The receive path reports through the On... calls; the display reads
// Snapshot, Problems and Describe; Prometheus gives the metrics text.
// One process-wide instance (TheEntryStatus). Thread-safe: the network
// thread, the user-interface thread and the metrics server may call at once.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace tallyhost {

struct ServerHeard {
  std::string hostname;   // empty until a datagram of it has been identified
  std::string address;
  std::chrono::system_clock::time_point last;
};

struct EntrySnapshot {
  int entry = 0;
  int32_t port = 0;
  bool listening = false;
  std::string why_not;                 // set when not listening
  uint64_t received = 0, stored = 0, failed = 0, refused = 0, waiting = 0;
  uint64_t incomplete = 0;             // of the stored
  uint64_t skipped = 0;                // found stored before (the ledger) and not stored again
  uint64_t spool_refused = 0;          // datagrams the spool refused at its size cap
  bool spool_at_cap = false;
  uint64_t boxes_not_shown = 0;
  std::string waiting_reason;
  bool has_last = false;
  std::chrono::system_clock::time_point last_datagram;
  std::vector<ServerHeard> servers;    // most recently heard first
};

struct Problem {
  std::chrono::system_clock::time_point when;
  int entry = 0;
  std::string text;
};

class EntryStatus {
 public:
  // Pass durations: upper bounds of the histogram buckets, in seconds.
  static const std::vector<double>& Buckets();

  // The entry's port and whether its socket is bound; `why_not` says why
  // not (a new reason is kept as a problem too; an empty one keeps the
  // reason known). Listening clears the reason.
  void SetListening(int entry, int32_t port, bool listening, const std::string& why_not = "");
  void Forget(int entry);   // the entry has been deleted

  void OnReceived(int entry, const std::string& sender);
  // A pass ended: stored (incompletely when `incomplete` says what is
  // missing), or failed with `problem`; `seconds` it took.
  void OnStored(int entry, const std::string& sender, const std::string& hostname, double seconds,
                const std::string& incomplete = "");
  void OnFailed(int entry, const std::string& sender, const std::string& problem, double seconds);
  void OnRefused(int entry);
  void OnBoxNotShown(const std::string& sender);
  void SetWaiting(int entry, uint64_t count, const std::string& reason);
  // What waits in the entry's spool as it is now, read by the status
  // without waiting for a pass; the figure shown is the larger of the two.
  void SetWaitingSource(int entry, std::function<uint64_t()> source);
  // Datagrams skipped because the database had stored them before.
  void OnSkipped(int entry, uint64_t count);
  // The spool's size cap: datagrams refused at it so far, and whether the
  // spool is at it now.
  void SetSpoolCap(int entry, uint64_t refused, bool at_cap);
  // A problem of the entry that no counter tells (a damaged spool, say).
  void NoteProblem(int entry, const std::string& text);

  std::vector<EntrySnapshot> Snapshot() const;
  std::vector<Problem> Problems() const;   // unread, oldest first
  void MarkProblemsRead();

  // Human-readable status of every entry, with the unread problems.
  std::string Describe() const;
  // The Prometheus text exposition; `drops(port)` gives the kernel's receive
  // drops of a port's socket.
  std::string Prometheus(const std::function<uint64_t(int32_t port)>& drops) const;

  void Clear();   // for tests

 private:
  struct Entry {
    int32_t port = 0;
    bool listening = false;
    std::string why_not;
    uint64_t received = 0, stored = 0, failed = 0, refused = 0, waiting = 0, incomplete = 0;
    uint64_t skipped = 0, spool_refused = 0;
    bool spool_at_cap = false;
    std::string waiting_reason;
    std::function<uint64_t()> waiting_source;
    bool has_last = false;
    std::chrono::system_clock::time_point last_datagram;
    std::map<std::string, ServerHeard> servers;   // by address and hostname
  };
  void AddProblem(int entry, const std::string& text);
  static void Heard(Entry& e, const std::string& sender, const std::string& hostname,
                    std::chrono::system_clock::time_point when);

  mutable std::mutex mu_;
  std::map<int, Entry> entries_;
  std::map<std::string, uint64_t> boxes_not_shown_;   // by sender
  std::vector<Problem> problems_;
  std::vector<uint64_t> histogram_;   // per bucket, plus +Inf
  double duration_sum_ = 0;
  uint64_t duration_count_ = 0;
};

EntryStatus& TheEntryStatus();

// The receive path's check on the network thread: asks the allow-list
// (sender_gate.h) and counts the datagram as received or refused.
bool AdmitAndCount(int entry, int32_t local_port, const std::string& sender);

// One processing pass of a datagram, timed from construction: Stored or
// Failed reports it (a pass reported neither counts as failed).
class PassRecord {
 public:
  PassRecord(int entry, std::string sender);
  ~PassRecord();
  PassRecord(const PassRecord&) = delete;
  PassRecord& operator=(const PassRecord&) = delete;
  void Stored(const std::string& hostname, const std::string& incomplete = "");
  void Failed(const std::string& problem);
  // The pass could not begin: its datagram waits (counted by SetWaiting).
  void Deferred() { reported_ = true; }
  // The database had stored its datagram before (counted by OnSkipped).
  void Skipped() { reported_ = true; }

 private:
  double Seconds() const;
  int entry_;
  std::string sender_;
  std::chrono::steady_clock::time_point start_;
  bool reported_ = false;
};

// The kernel's receive drops of the UDP sockets bound to `port` (from
// /proc/net/udp and /proc/net/udp6); 0 when unknown.
uint64_t KernelReceiveDrops(int32_t port);

}  // namespace tallyhost
