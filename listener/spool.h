// Spool: the durable queue of one connection entry's datagrams.
//
// Every datagram the listener reads is appended to its entry's spool file
// before anything else happens to it, and leaves the spool only when its
// processing pass has ended (stored, or failed for good). A datagram whose
// pass could not begin stays at the head and is tried again before any newer
// datagram of the entry. So a datagram survives a lasting lock, a missing or
// full database and the end of the program: the next start hands over what
// waits first.
//
// Identity: each spool file has a random 64-bit key, made when the file is
// created, and numbers its datagrams 1, 2, 3, ... in arrival order (the
// sequence). Key and sequence name a datagram for good: the pass that stores
// it records them in the database (received_ledger.h), so that a datagram
// handed over again after a crash, a lost head or a damaged file is skipped
// instead of stored twice. Numbers only grow, also across emptying the file
// and reopening it.
//
// Files, in the spool folder: NAME.spool starts with a file header (written
// twice: magic "TSP2", the key, the first sequence the file may hold, a
// CRC-32) followed by the records in arrival order. A record is a header
// (magic "TSR2", payload length, sequence, the file's key, a CRC-32 over
// those and the payload) and the payload (arrival time as a day serial,
// sender port, local port, sender address, datagram bytes). A record is only
// taken for one when it carries the file's secret key and a sequence above
// the one before it, so a datagram whose payload holds bytes laid out as a
// record is never read back as a record of its own. NAME.head holds the
// offset and sequence of the first record not yet dealt with; it is only a
// hint that saves reading (a lost or damaged head costs time, the ledger
// keeps the repeat out). The file is emptied when the head reaches its end
// and it has grown past a few MiB, and when it is opened with nothing
// waiting.
//
// Opening checks every record after the head: bytes that are no record of
// this file (a torn last write, damage, junk) are skipped, the file is
// rewritten with the intact records only, and the damage is reported in
// Damage() in bytes and in datagrams (the numbers missing between intact
// records). A file in the earlier format (records "TSP1", no file header) is
// converted, keeping every intact record after its head.
//
// Durability (SpoolOptions::sync): kEvery syncs the file to disk after each
// datagram; kGroup at most once per group interval (an Append or SyncIfDue
// after the interval syncs what came since); kSystem leaves it to the
// system. A program that is killed loses nothing in any mode; a machine that
// loses power loses what was not synced.
//
// A failed write or sync is never taken for success. An Append whose write
// fails (a full disk) takes back what it wrote and is refused, with the
// reason in LastError(); the datagrams spooled before stay. A sync that
// fails is counted (SyncFailures, SyncError): after it the system may have
// dropped the written pages, and a sync tried again may succeed without
// them, so in kEvery the Append it belonged to takes its record back and is
// refused like a failed write; in kGroup the datagrams appended since the
// last good sync stay in the spool and are handed over while the program
// runs, but only the failure tells that a power loss could take them.
//
// Size cap: an Append that would take the file past max_bytes first gives
// back the room of the datagrams dealt with (the file is rewritten with the
// waiting ones); when that is not enough it is refused and counted
// (RefusedAtCap), and the caller keeps the datagram elsewhere.
//
// Thread safety: Append may be called from any thread (the network thread);
// the other calls from any thread too. All calls serialise on one mutex.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace tallyhost {

struct SpooledDatagram {
  double arrival = 0;   // day serial, local time
  std::string sender_address;
  int32_t sender_port = 0;
  int32_t local_port = 0;
  std::vector<uint8_t> data;
  uint64_t sequence = 0;   // the spool's number for it; 0 until spooled
};

struct SpoolDamage {
  uint64_t bytes = 0;       // bytes that were no intact record
  uint64_t regions = 0;     // separate damaged stretches
  uint64_t datagrams = 0;   // datagrams known lost: numbers missing between intact records
  std::vector<std::pair<uint64_t, uint64_t>> lost;   // first and last number of each gap
  bool torn_end = false;    // the file ended in bytes that are no record (a write cut short)
  uint64_t last_intact = 0;   // the number of the last intact record before a torn end
  bool header_lost = false;   // the file header could not be read: the file was set aside
  std::string set_aside;      // where it went
  bool Any() const { return bytes > 0 || header_lost; }
  // One sentence for the operator: bytes, datagrams lost and their numbers.
  std::string Describe(const std::string& path) const;
};

enum class SpoolSync { kSystem, kGroup, kEvery };

struct SpoolOptions {
  SpoolSync sync = SpoolSync::kGroup;
  std::chrono::milliseconds group_interval{200};
  uint64_t max_bytes = uint64_t{1} << 30;   // 0: no cap
};

class Spool {
 public:
  // Opens (creating when missing) the spool `name` in `folder` (created with
  // its parents). Throws std::runtime_error with the file's name and the
  // system's reason when the files cannot be opened or repaired, or when
  // another program holds the spool.
  Spool(const std::string& folder, const std::string& name, const SpoolOptions& options = {});
  ~Spool();
  Spool(const Spool&) = delete;
  Spool& operator=(const Spool&) = delete;

  // Appends a datagram, numbering it; false (nothing appended, no number
  // used) when the file cannot be written, such as on a full disk, when the
  // disk does not confirm it (kEvery), or when the size cap is reached.
  bool Append(const SpooledDatagram& d);
  // Why the last Append was refused (not at the cap): the file, the
  // system's reason and the room left; empty after an Append that was taken.
  std::string LastError() const;
  // The oldest datagram not yet dealt with, with its sequence; nullopt when
  // none waits or it cannot be read.
  std::optional<SpooledDatagram> Peek();
  // Drops the oldest datagram (after Peek gave it).
  void Pop();
  // Drops the waiting datagrams numbered up to `sequence` (already stored,
  // as the ledger says) and makes sure new numbers are above it. Returns how
  // many were dropped.
  uint64_t SkipThrough(uint64_t sequence);
  uint64_t Waiting() const;
  // The sequence of the oldest waiting datagram and of the newest one
  // appended (0 when none).
  std::pair<uint64_t, uint64_t> WaitingRange() const;

  // Syncs what was appended since the last sync when the group interval has
  // passed (kGroup), or at once (Sync).
  void SyncIfDue();
  bool Sync();   // false when the disk did not confirm
  uint64_t SyncFailures() const;
  bool SyncFailing() const;   // the last sync failed
  std::string SyncError() const;   // the last failed sync's reason

  const std::string& Key() const { return key_text_; }
  const SpoolDamage& Damage() const { return damage_; }
  const std::string& path() const { return data_path_; }
  uint64_t RefusedAtCap() const;
  bool AtCap() const;   // the last Append was refused at the cap
  uint64_t Bytes() const;   // the file's size

  static constexpr uint32_t kMaxPayload = 1u << 20;

 private:
  void Recover();
  void Create();
  void ConvertEarlierFormat(const uint8_t* bytes, uint64_t size);
  void WriteHead();
  bool WriteFileHeader(uint64_t base_sequence);
  void EmptyFile();
  bool Compact();
  bool SyncLocked();
  std::string Problem(const std::string& what, int error) const;

  SpoolOptions options_;
  mutable std::mutex mu_;
  std::string data_path_, head_path_;
  int data_fd_ = -1, head_fd_ = -1;
  uint64_t key_ = 0;
  std::string key_text_;
  uint64_t head_ = 0;       // offset of the oldest record
  uint64_t head_seq_ = 0;   // its sequence (the next one when none waits)
  uint64_t end_ = 0;        // size of the data file
  uint64_t next_seq_ = 1;
  std::atomic<uint64_t> waiting_{0};   // changed under mu_, read without it
  uint64_t peeked_size_ = 0;   // size of the record Peek returned, 0 when none
  uint64_t peeked_seq_ = 0;
  uint64_t refused_at_cap_ = 0;
  bool at_cap_ = false;
  bool dirty_ = false;
  std::string last_error_, sync_error_;
  uint64_t sync_failures_ = 0;
  bool sync_failing_ = false;
  std::chrono::steady_clock::time_point last_sync_{};
  // Records read ahead from the data file: `ahead_` holds the file's bytes
  // from offset `ahead_at_`.
  std::vector<uint8_t> ahead_;
  uint64_t ahead_at_ = 0;
  SpoolDamage damage_;
};

// Serialisation of one record (header and payload) under a file's key, and
// reading one back from a buffer: the record's total size, or 0 when `bytes`
// holds no intact record of that key at its start. Exposed for tests and the
// fuzz target.
std::vector<uint8_t> EncodeSpoolRecord(const SpooledDatagram& d, uint64_t key, uint64_t sequence);
size_t DecodeSpoolRecord(const uint8_t* bytes, size_t size, uint64_t key, SpooledDatagram* out);

}  // namespace tallyhost
