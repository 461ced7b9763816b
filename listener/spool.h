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
// Files, in the spool folder: NAME.spool holds the records in arrival order;
// NAME.head holds the offset of the first record not yet dealt with. A record
// is a header (magic "TSP1", payload length, CRC-32 of the payload) and the
// payload (arrival time as a day serial, sender port, local port, sender
// address, datagram bytes). The head is written after every Pop (not
// synchronised to disk: a crash may hand the last datagram over once more);
// when the head reaches the end, both files are emptied.
//
// Opening checks every record after the head: a record cut short by a crash
// or bytes that are no record are skipped (the file is rewritten with the
// intact records only) and reported in Damage(); every intact record stays.
//
// Thread safety: Append may be called from any thread (the network thread);
// Peek, Pop and Waiting from any thread too. All calls serialise on one mutex.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace tallyhost {

struct SpooledDatagram {
  double arrival = 0;   // day serial, local time
  std::string sender_address;
  int32_t sender_port = 0;
  int32_t local_port = 0;
  std::vector<uint8_t> data;
};

struct SpoolDamage {
  uint64_t bytes = 0;     // bytes that were no intact record
  uint64_t regions = 0;   // separate damaged stretches
};

class Spool {
 public:
  // Opens (creating when missing) the spool `name` in `folder` (created with
  // its parents). Throws std::runtime_error with the file's name and the
  // system's reason when the files cannot be opened or repaired.
  Spool(const std::string& folder, const std::string& name);
  ~Spool();
  Spool(const Spool&) = delete;
  Spool& operator=(const Spool&) = delete;

  // Appends a datagram; false (nothing appended) when the file cannot be
  // written, such as on a full disk.
  bool Append(const SpooledDatagram& d);
  // The oldest datagram not yet dealt with; nullopt when none waits or it
  // cannot be read.
  std::optional<SpooledDatagram> Peek();
  // Drops the oldest datagram (after Peek gave it).
  void Pop();
  uint64_t Waiting() const;
  const SpoolDamage& Damage() const { return damage_; }
  const std::string& path() const { return data_path_; }

  static constexpr uint32_t kMaxPayload = 1u << 20;

 private:
  void Recover();
  void WriteHead();

  mutable std::mutex mu_;
  std::string data_path_, head_path_;
  int data_fd_ = -1, head_fd_ = -1;
  uint64_t head_ = 0;       // offset of the oldest record
  uint64_t end_ = 0;        // size of the data file
  uint64_t waiting_ = 0;
  uint64_t peeked_size_ = 0;   // size of the record Peek returned, 0 when none
  // Records read ahead from the data file (bytes below end_ stay as they are
  // until the file is emptied): `ahead_` holds the file's bytes from offset
  // `ahead_at_`.
  std::vector<uint8_t> ahead_;
  uint64_t ahead_at_ = 0;
  SpoolDamage damage_;
};

// Serialisation of one record (header and payload), and reading one back
// from a buffer: the record's total size, or 0 when `bytes` holds no intact
// record at its start. Exposed for tests.
std::vector<uint8_t> EncodeSpoolRecord(const SpooledDatagram& d);
size_t DecodeSpoolRecord(const uint8_t* bytes, size_t size, SpooledDatagram* out);

}  // namespace tallyhost
