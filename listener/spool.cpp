#include "spool.h"

#include <algorithm>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <stdexcept>

#include "env.h"

namespace tallyhost {

namespace {

constexpr char kFileMagic[4] = {'T', 'S', 'P', '2'};
constexpr char kRecordMagic[4] = {'T', 'S', 'R', '2'};
constexpr char kHeadMagic[4] = {'T', 'S', 'H', '2'};
constexpr size_t kHeaderCopy = 32;              // magic, key, base sequence, reserved, CRC-32
constexpr uint64_t kFileHeader = 2 * kHeaderCopy;
constexpr size_t kRecordHeader = 28;            // magic, length, sequence, key, CRC-32
constexpr size_t kPayloadFixed = 17;            // arrival, ports, address length
// The file is emptied when the head reaches its end past this size.
constexpr uint64_t kEmptyAbove = 4u << 20;

// The earlier format: records "TSP1" (magic, length, CRC-32 of the payload),
// a head of the offset and the offset mixed with a constant.
constexpr char kV1Magic[4] = {'T', 'S', 'P', '1'};
constexpr size_t kV1Header = 12;
constexpr uint64_t kV1HeadCheck = 0x5441'4C4C'5953'504FULL;

void Put32(std::vector<uint8_t>& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void Put64(std::vector<uint8_t>& out, uint64_t v) {
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
uint32_t Get32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
uint64_t Get64(const uint8_t* p) { return uint64_t(Get32(p)) | uint64_t(Get32(p + 4)) << 32; }

uint32_t Crc(const uint8_t* p, size_t n, uint32_t crc = 0) {
  if (crc == 0) crc = static_cast<uint32_t>(crc32(0L, Z_NULL, 0));
  return static_cast<uint32_t>(crc32(crc, p, static_cast<uInt>(n)));
}

std::runtime_error FileError(const std::string& what, const std::string& path) {
  return std::runtime_error(what + " " + path + ": " + std::strerror(errno));
}

// The files are written through the Env (env.h), so that tests can fail
// any write, sync or rename as a full or failing disk would.
env::Env& Fs() { return env::Current(); }

bool WriteAllAt(int fd, const uint8_t* p, size_t n, uint64_t at) {
  while (n > 0) {
    ssize_t w = Fs().WriteAt(fd, p, n, static_cast<off_t>(at));
    if (w < 0 && errno == EINTR) continue;
    if (w == 0) errno = ENOSPC;   // no progress: taken for a full disk
    if (w <= 0) return false;
    p += w;
    n -= static_cast<size_t>(w);
    at += static_cast<uint64_t>(w);
  }
  return true;
}

bool ReadAt(int fd, uint8_t* p, size_t n, uint64_t at) {
  while (n > 0) {
    ssize_t r = ::pread(fd, p, n, static_cast<off_t>(at));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    p += r;
    n -= static_cast<size_t>(r);
    at += static_cast<uint64_t>(r);
  }
  return true;
}

uint64_t RandomKey() {
  uint64_t key = 0;
  while (key == 0) {
    if (::getrandom(&key, sizeof key, 0) != static_cast<ssize_t>(sizeof key)) {
      // No entropy source: the clock and the process still tell files apart.
      key = static_cast<uint64_t>(std::time(nullptr)) * 0x9E3779B97F4A7C15ULL ^
            static_cast<uint64_t>(::getpid()) << 32 ^ reinterpret_cast<uintptr_t>(&key);
    }
  }
  return key;
}

std::string Hex(uint64_t v) {
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(v));
  return text;
}

std::vector<uint8_t> HeaderCopy(uint64_t key, uint64_t base) {
  std::vector<uint8_t> out(kFileMagic, kFileMagic + 4);
  Put64(out, key);
  Put64(out, base);
  Put64(out, 0);
  Put32(out, Crc(out.data(), out.size()));
  return out;
}

// The key and base sequence of a header copy; false when it is no header.
bool ReadHeaderCopy(const uint8_t* p, uint64_t* key, uint64_t* base) {
  if (std::memcmp(p, kFileMagic, 4) != 0 || Crc(p, 28) != Get32(p + 28)) return false;
  *key = Get64(p + 4);
  *base = Get64(p + 12);
  return *key != 0;
}

// The v1 record at `bytes`: its size, 0 when none; fills `out` when given.
size_t DecodeV1(const uint8_t* bytes, size_t size, SpooledDatagram* out) {
  if (size < kV1Header || std::memcmp(bytes, kV1Magic, 4) != 0) return 0;
  const uint32_t length = Get32(bytes + 4);
  if (length < kPayloadFixed || length > Spool::kMaxPayload || length > size - kV1Header) return 0;
  const uint8_t* p = bytes + kV1Header;
  if (Crc(p, length) != Get32(bytes + 8)) return 0;
  if (kPayloadFixed + p[16] > length) return 0;
  if (out) {
    uint64_t arrival = Get64(p);
    std::memcpy(&out->arrival, &arrival, sizeof arrival);
    out->sender_port = static_cast<int32_t>(Get32(p + 8));
    out->local_port = static_cast<int32_t>(Get32(p + 12));
    out->sender_address.assign(reinterpret_cast<const char*>(p + 17), p[16]);
    out->data.assign(p + 17 + p[16], p + length);
  }
  return kV1Header + length;
}

// The sequence of the record at `bytes` (which DecodeSpoolRecord accepted).
uint64_t SequenceAt(const uint8_t* bytes) { return Get64(bytes + 8); }

}  // namespace

std::vector<uint8_t> EncodeSpoolRecord(const SpooledDatagram& d, uint64_t key, uint64_t sequence) {
  const size_t address = std::min<size_t>(d.sender_address.size(), 255);
  std::vector<uint8_t> out(kRecordMagic, kRecordMagic + 4);
  out.reserve(kRecordHeader + kPayloadFixed + address + d.data.size());
  Put32(out, static_cast<uint32_t>(kPayloadFixed + address + d.data.size()));
  Put64(out, sequence);
  Put64(out, key);
  Put32(out, 0);   // the CRC, below
  uint64_t arrival;
  static_assert(sizeof arrival == sizeof d.arrival);
  std::memcpy(&arrival, &d.arrival, sizeof arrival);
  Put64(out, arrival);
  Put32(out, static_cast<uint32_t>(d.sender_port));
  Put32(out, static_cast<uint32_t>(d.local_port));
  out.push_back(static_cast<uint8_t>(address));
  out.insert(out.end(), d.sender_address.begin(), d.sender_address.begin() + address);
  out.insert(out.end(), d.data.begin(), d.data.end());
  const uint32_t crc = Crc(out.data() + kRecordHeader, out.size() - kRecordHeader, Crc(out.data() + 4, 20));
  for (int i = 0; i < 4; ++i) out[24 + i] = static_cast<uint8_t>(crc >> (8 * i));
  return out;
}

size_t DecodeSpoolRecord(const uint8_t* bytes, size_t size, uint64_t key, SpooledDatagram* out) {
  if (size < kRecordHeader || std::memcmp(bytes, kRecordMagic, 4) != 0) return 0;
  const uint32_t length = Get32(bytes + 4);
  if (length < kPayloadFixed || length > Spool::kMaxPayload || length > size - kRecordHeader) return 0;
  if (Get64(bytes + 16) != key || SequenceAt(bytes) == 0) return 0;
  const uint8_t* p = bytes + kRecordHeader;
  if (Crc(p, length, Crc(bytes + 4, 20)) != Get32(bytes + 24)) return 0;
  const size_t address = p[16];
  if (kPayloadFixed + address > length) return 0;
  if (out) {
    uint64_t arrival = Get64(p);
    std::memcpy(&out->arrival, &arrival, sizeof arrival);
    out->sender_port = static_cast<int32_t>(Get32(p + 8));
    out->local_port = static_cast<int32_t>(Get32(p + 12));
    out->sender_address.assign(reinterpret_cast<const char*>(p + 17), address);
    out->data.assign(p + 17 + address, p + length);
    out->sequence = SequenceAt(bytes);
  }
  return kRecordHeader + length;
}

std::string SpoolDamage::Describe(const std::string& path) const {
  if (header_lost)
    return "the spool " + path + " had no readable header, so its datagrams could not be told from forged ones; it was " +
           "set aside as " + set_aside + " and a new spool begun.";
  std::string out = "the spool " + path + " was damaged: " + std::to_string(bytes) + " bytes in " +
                    std::to_string(regions) + " places were no intact datagram and were dropped";
  if (datagrams > 0) {
    out += "; " + std::to_string(datagrams) + " datagrams are lost (numbers";
    for (size_t i = 0; i < lost.size(); ++i)
      out += (i ? ", " : " ") + std::to_string(lost[i].first) +
             (lost[i].second != lost[i].first ? "-" + std::to_string(lost[i].second) : "");
    out += ")";
  }
  if (torn_end)
    out += "; the file ended in a datagram cut short" +
           (last_intact ? " after number " + std::to_string(last_intact) : std::string()) +
           " (its datagram, and any written after it, are lost)";
  return out + "; every intact datagram was kept.";
}

Spool::Spool(const std::string& folder, const std::string& name, const SpoolOptions& options)
    : options_(options), data_path_(folder + "/" + name + ".spool"), head_path_(folder + "/" + name + ".head") {
  std::error_code ec;
  std::filesystem::create_directories(folder, ec);
  data_fd_ = Fs().Open(data_path_, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (data_fd_ < 0) throw FileError("Can not open the spool", data_path_);
  // One program per spool: another listener on the same folder (whose
  // port here is taken) must not hand over, and so store again, what this
  // one keeps. The lock goes with the descriptor.
  if (::flock(data_fd_, LOCK_EX | LOCK_NB) != 0) {
    Fs().Close(data_fd_);
    throw std::runtime_error("The spool " + data_path_ + " is in use by another program; this one leaves it alone.");
  }
  head_fd_ = Fs().Open(head_path_, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (head_fd_ < 0) {
    Fs().Close(data_fd_);
    throw FileError("Can not open the spool head", head_path_);
  }
  try {
    Recover();
  } catch (...) {
    Fs().Close(data_fd_);
    Fs().Close(head_fd_);
    throw;
  }
  last_sync_ = std::chrono::steady_clock::now();
}

Spool::~Spool() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (options_.sync != SpoolSync::kSystem && dirty_) Fs().DataSync(data_fd_);
  }
  Fs().Close(data_fd_);
  Fs().Close(head_fd_);
}

bool Spool::WriteFileHeader(uint64_t base_sequence) {
  std::vector<uint8_t> h = HeaderCopy(key_, base_sequence);
  h.insert(h.end(), h.begin(), h.end());
  return WriteAllAt(data_fd_, h.data(), h.size(), 0);
}

// A new, empty file with a new key.
void Spool::Create() {
  key_ = RandomKey();
  if (Fs().Truncate(data_fd_, 0) != 0 || !WriteFileHeader(next_seq_) || Fs().DataSync(data_fd_) != 0)
    throw FileError("Can not write the spool", data_path_);
  head_ = end_ = kFileHeader;
  head_seq_ = next_seq_;
}

// Empties the file when nothing waits. The header's base sequence is made
// durable before the records go, so numbers are never given out twice.
void Spool::EmptyFile() {
  if (!WriteFileHeader(next_seq_) || Fs().DataSync(data_fd_) != 0) return;
  if (Fs().Truncate(data_fd_, static_cast<off_t>(kFileHeader)) != 0) return;
  head_ = end_ = kFileHeader;
  head_seq_ = next_seq_;
  ahead_.clear();
  dirty_ = false;
}

void Spool::Recover() {
  struct stat st;
  if (::fstat(data_fd_, &st) != 0) throw FileError("Can not read the spool", data_path_);
  const uint64_t size = static_cast<uint64_t>(st.st_size);
  if (size == 0) {
    Create();
    WriteHead();
    key_text_ = Hex(key_);
    return;
  }
  void* map = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, data_fd_, 0);
  if (map == MAP_FAILED) throw FileError("Can not read the spool", data_path_);
  const uint8_t* bytes = static_cast<const uint8_t*>(map);
  struct Unmap {
    void* map;
    uint64_t size;
    ~Unmap() { ::munmap(map, size); }
  } unmap{map, size};

  uint64_t base = 1;
  bool header = size >= kFileHeader && (ReadHeaderCopy(bytes, &key_, &base) ||
                                        ReadHeaderCopy(bytes + kHeaderCopy, &key_, &base));
  if (!header && size < kFileHeader + kRecordHeader && !(size >= 4 && std::memcmp(bytes, kV1Magic, 4) == 0)) {
    // A file cut short while it was being made: it can hold no record.
    Create();
    WriteHead();
    key_text_ = Hex(key_);
    return;
  }
  if (!header) {
    if (size >= 4 && std::memcmp(bytes, kV1Magic, 4) == 0) {
      ConvertEarlierFormat(bytes, size);
      key_text_ = Hex(key_);
      return;
    }
    // Without the key no record can be told from a forged one: the file is
    // kept aside for the operator and a new one begun.
    damage_.header_lost = true;
    damage_.bytes = size;
    damage_.regions = 1;
    damage_.set_aside = data_path_ + ".damaged-" + std::to_string(std::time(nullptr));
    if (Fs().Rename(data_path_, damage_.set_aside) != 0)
      throw FileError("Can not set aside the damaged spool", data_path_);
    Fs().Close(data_fd_);
    data_fd_ = Fs().Open(data_path_, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (data_fd_ < 0 || ::flock(data_fd_, LOCK_EX | LOCK_NB) != 0) throw FileError("Can not open the spool", data_path_);
    Create();
    WriteHead();
    key_text_ = Hex(key_);
    return;
  }
  key_text_ = Hex(key_);
  next_seq_ = std::max<uint64_t>(base, 1);

  // The head is a hint: taken when it points at an intact record of this
  // file (or at the end), else every record is read from the start.
  uint64_t at = kFileHeader, last = 0;
  uint8_t h[24];
  if (ReadAt(head_fd_, h, sizeof h, 0) && std::memcmp(h, kHeadMagic, 4) == 0 && Crc(h, 20) == Get32(h + 20)) {
    const uint64_t offset = Get64(h + 4), seq = Get64(h + 12);
    if (offset == size && offset >= kFileHeader) {
      at = offset;
      next_seq_ = std::max(next_seq_, seq);
    } else if (offset >= kFileHeader && offset < size &&
               DecodeSpoolRecord(bytes + offset, size - offset, key_, nullptr) > 0 && SequenceAt(bytes + offset) == seq) {
      at = offset;
      last = seq - 1;
    }
  }
  head_ = at;
  // Walk the records; past damage only a record of this file numbered
  // above the last one counts.
  std::vector<std::pair<uint64_t, uint64_t>> intact;   // offset, size
  uint64_t first_seq = 0;
  while (at < size) {
    size_t n = DecodeSpoolRecord(bytes + at, size - at, key_, nullptr);
    if (n > 0 && SequenceAt(bytes + at) > last) {
      const uint64_t seq = SequenceAt(bytes + at);
      if (!intact.empty() && seq != last + 1 && last > 0) {
        damage_.datagrams += seq - last - 1;
        damage_.lost.emplace_back(last + 1, seq - 1);
      }
      if (intact.empty()) first_seq = seq;
      intact.emplace_back(at, n);
      last = seq;
      at += n;
      continue;
    }
    // Damage: find the next intact record.
    ++damage_.regions;
    uint64_t from = at++;
    while (at < size) {
      const uint8_t* m = static_cast<const uint8_t*>(std::memchr(bytes + at, kRecordMagic[0], size - at));
      if (!m) {
        at = size;
        break;
      }
      at = static_cast<uint64_t>(m - bytes);
      n = DecodeSpoolRecord(bytes + at, size - at, key_, nullptr);
      if (n > 0 && SequenceAt(bytes + at) > last) break;
      ++at;
    }
    damage_.bytes += at - from;
    if (at >= size) {
      damage_.torn_end = true;
      damage_.last_intact = last;
    } else if (intact.empty() && last > 0) {
      // Damage right after the head: the numbers from the head on are lost.
      const uint64_t seq = SequenceAt(bytes + at);
      if (seq > last + 1) {
        damage_.datagrams += seq - last - 1;
        damage_.lost.emplace_back(last + 1, seq - 1);
      }
    }
  }
  waiting_ = intact.size();
  next_seq_ = std::max(next_seq_, last + 1);
  head_seq_ = intact.empty() ? next_seq_ : first_seq;
  end_ = size;
  if (damage_.bytes > 0) {
    // Rewrite the file with the header and the intact records only.
    const std::string temp = data_path_ + ".new";
    int fd = Fs().Open(temp, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    bool ok = fd >= 0;
    std::vector<uint8_t> hdr = HeaderCopy(key_, next_seq_);
    hdr.insert(hdr.end(), hdr.begin(), hdr.end());
    uint64_t written = 0;
    ok = ok && WriteAllAt(fd, hdr.data(), hdr.size(), 0);
    written = hdr.size();
    for (const auto& [offset, n] : intact) {
      ok = ok && WriteAllAt(fd, bytes + offset, n, written);
      written += n;
    }
    ok = ok && Fs().Sync(fd) == 0;
    if (fd >= 0) Fs().Close(fd);
    if (!ok || Fs().Rename(temp, data_path_) != 0) {
      Fs().Unlink(temp);
      throw FileError("Can not repair the spool", data_path_);
    }
    Fs().Close(data_fd_);
    data_fd_ = Fs().Open(data_path_, O_RDWR | O_CLOEXEC);
    if (data_fd_ < 0 || ::flock(data_fd_, LOCK_EX | LOCK_NB) != 0) throw FileError("Can not open the spool", data_path_);
    head_ = kFileHeader;
    end_ = written;
  }
  if (waiting_ == 0) EmptyFile();
  WriteHead();
}

// Converts a file of the earlier format: its intact records after its head,
// numbered anew under a new key.
void Spool::ConvertEarlierFormat(const uint8_t* bytes, uint64_t size) {
  uint64_t at = 0;
  uint8_t h[16];
  if (ReadAt(head_fd_, h, sizeof h, 0) && (Get64(h) ^ kV1HeadCheck) == Get64(h + 8) && Get64(h) <= size) at = Get64(h);
  key_ = RandomKey();
  std::vector<uint8_t> out = HeaderCopy(key_, 1);
  out.insert(out.end(), out.begin(), out.end());
  bool in_damage = false;
  while (at < size) {
    SpooledDatagram d;
    size_t n = DecodeV1(bytes + at, size - at, &d);
    if (n > 0) {
      std::vector<uint8_t> record = EncodeSpoolRecord(d, key_, next_seq_++);
      out.insert(out.end(), record.begin(), record.end());
      ++waiting_;
      at += n;
      in_damage = false;
      continue;
    }
    if (!in_damage) ++damage_.regions;
    in_damage = true;
    ++damage_.bytes;
    ++at;
  }
  const std::string temp = data_path_ + ".new";
  int fd = Fs().Open(temp, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  bool ok = fd >= 0 && WriteAllAt(fd, out.data(), out.size(), 0) && Fs().Sync(fd) == 0;
  if (fd >= 0) Fs().Close(fd);
  if (!ok || Fs().Rename(temp, data_path_) != 0) {
    Fs().Unlink(temp);
    throw FileError("Can not convert the spool", data_path_);
  }
  Fs().Close(data_fd_);
  data_fd_ = Fs().Open(data_path_, O_RDWR | O_CLOEXEC);
  if (data_fd_ < 0 || ::flock(data_fd_, LOCK_EX | LOCK_NB) != 0) throw FileError("Can not open the spool", data_path_);
  head_ = kFileHeader;
  head_seq_ = 1;
  end_ = out.size();
  if (damage_.bytes > 0 && at >= size && in_damage) damage_.torn_end = true;
  WriteHead();
}

void Spool::WriteHead() {
  std::vector<uint8_t> h(kHeadMagic, kHeadMagic + 4);
  Put64(h, head_);
  Put64(h, head_seq_);
  Put32(h, Crc(h.data(), h.size()));
  // A head that cannot be written only costs reading after a restart.
  if (!WriteAllAt(head_fd_, h.data(), h.size(), 0)) {
  }
}

// Rewrites the file with the waiting records only (they keep their numbers),
// through a new file renamed over the old one.
bool Spool::Compact() {
  if (head_ >= end_) {
    EmptyFile();
    return head_ == kFileHeader;
  }
  std::vector<uint8_t> live(end_ - head_);
  if (!ReadAt(data_fd_, live.data(), live.size(), head_)) return false;
  const std::string temp = data_path_ + ".new";
  int fd = Fs().Open(temp, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  std::vector<uint8_t> header = HeaderCopy(key_, head_seq_);
  header.insert(header.end(), header.begin(), header.end());
  bool ok = fd >= 0 && WriteAllAt(fd, header.data(), header.size(), 0) &&
            WriteAllAt(fd, live.data(), live.size(), header.size()) && Fs().Sync(fd) == 0;
  if (fd >= 0) Fs().Close(fd);
  int new_fd = ok ? Fs().Open(temp, O_RDWR | O_CLOEXEC) : -1;
  if (new_fd < 0 || ::flock(new_fd, LOCK_EX | LOCK_NB) != 0 || Fs().Rename(temp, data_path_) != 0) {
    if (new_fd >= 0) Fs().Close(new_fd);
    Fs().Unlink(temp);
    return false;
  }
  Fs().Close(data_fd_);
  data_fd_ = new_fd;
  head_ = kFileHeader;
  end_ = kFileHeader + live.size();
  ahead_.clear();   // a record Peek gave keeps its size: Pop still drops it
  dirty_ = false;
  WriteHead();
  return true;
}

// The system's reason and the room left on the spool's file system.
std::string Spool::Problem(const std::string& what, int error) const {
  std::string out = what + " " + data_path_ + ": " + std::strerror(error);
  if (std::optional<uint64_t> free = Fs().FreeSpace(data_path_))
    out += " (" + std::to_string(*free / 1024) + " KiB free)";
  return out;
}

bool Spool::SyncLocked() {
  last_sync_ = std::chrono::steady_clock::now();
  if (!dirty_) return true;
  if (Fs().DataSync(data_fd_) == 0) {
    dirty_ = sync_failing_ = false;
    return true;
  }
  sync_failing_ = true;
  // A sync tried again could succeed without the pages that failed: the
  // failure is kept, not forgotten at the next sync.
  ++sync_failures_;
  sync_error_ = Problem("The disk did not confirm the spool", errno);
  return false;
}

bool Spool::Append(const SpooledDatagram& d) {
  std::lock_guard<std::mutex> lock(mu_);
  std::vector<uint8_t> record = EncodeSpoolRecord(d, key_, next_seq_);
  auto over_cap = [&] { return options_.max_bytes > 0 && end_ - kFileHeader + record.size() > options_.max_bytes; };
  // Room taken by datagrams already dealt with is given back first.
  if (over_cap() && head_ > kFileHeader) Compact();
  if (over_cap()) {
    ++refused_at_cap_;
    at_cap_ = true;
    return false;
  }
  at_cap_ = false;
  if (!WriteAllAt(data_fd_, record.data(), record.size(), end_)) {
    const int error = errno;
    // Take back a record cut short, so that the file stays a list of records
    // (should that fail too, the next record is written over it).
    if (Fs().Truncate(data_fd_, static_cast<off_t>(end_)) != 0) {
    }
    last_error_ = Problem("Can not write the spool", error);
    return false;
  }
  const bool was_dirty = dirty_;
  dirty_ = true;
  if (options_.sync == SpoolSync::kEvery && !SyncLocked()) {
    // After a failed sync the written pages may be gone from the disk and a
    // sync tried later may not say so: the datagram does not count as
    // spooled. Its record is taken back and the caller keeps the datagram.
    // Only when the record cannot be taken back does it stay, as a datagram
    // of the spool, so that it is never kept in two places.
    if (Fs().Truncate(data_fd_, static_cast<off_t>(end_)) == 0) {
      dirty_ = was_dirty;
      last_error_ = sync_error_;
      return false;
    }
  }
  last_error_.clear();
  end_ += record.size();
  if (waiting_ == 0) head_seq_ = next_seq_;
  ++next_seq_;
  ++waiting_;
  if (options_.sync == SpoolSync::kGroup && std::chrono::steady_clock::now() - last_sync_ >= options_.group_interval)
    SyncLocked();
  return true;
}

void Spool::SyncIfDue() {
  std::lock_guard<std::mutex> lock(mu_);
  if (options_.sync != SpoolSync::kSystem && dirty_ &&
      std::chrono::steady_clock::now() - last_sync_ >= options_.group_interval)
    SyncLocked();
}

bool Spool::Sync() {
  std::lock_guard<std::mutex> lock(mu_);
  return SyncLocked();
}

std::optional<SpooledDatagram> Spool::Peek() {
  std::lock_guard<std::mutex> lock(mu_);
  peeked_size_ = 0;
  if (head_ >= end_) return std::nullopt;
  // Whether [head_, head_ + n) is in the read-ahead; else reads from head_
  // at least n bytes, and up to 256 KiB of what follows.
  auto have = [this](uint64_t n) {
    if (head_ >= ahead_at_ && head_ + n <= ahead_at_ + ahead_.size()) return true;
    const uint64_t size = std::max<uint64_t>(n, std::min<uint64_t>(end_ - head_, 256 * 1024));
    ahead_.resize(size);
    ahead_at_ = head_;
    if (ReadAt(data_fd_, ahead_.data(), size, head_)) return true;
    ahead_.clear();
    return false;
  };
  if (head_ + kRecordHeader > end_ || !have(kRecordHeader)) return std::nullopt;
  const uint32_t length = Get32(ahead_.data() + (head_ - ahead_at_) + 4);
  if (length > kMaxPayload || head_ + kRecordHeader + length > end_ || !have(kRecordHeader + length))
    return std::nullopt;
  SpooledDatagram d;
  size_t n = DecodeSpoolRecord(ahead_.data() + (head_ - ahead_at_), kRecordHeader + length, key_, &d);
  if (n == 0) return std::nullopt;
  peeked_size_ = n;
  peeked_seq_ = d.sequence;
  return d;
}

void Spool::Pop() {
  std::lock_guard<std::mutex> lock(mu_);
  if (peeked_size_ == 0) return;
  head_ += peeked_size_;
  head_seq_ = peeked_seq_ + 1;
  peeked_size_ = 0;
  if (waiting_ > 0) --waiting_;
  if (head_ >= end_ && end_ > kEmptyAbove) EmptyFile();
  WriteHead();
}

uint64_t Spool::SkipThrough(uint64_t sequence) {
  std::lock_guard<std::mutex> lock(mu_);
  peeked_size_ = 0;
  next_seq_ = std::max(next_seq_, sequence + 1);
  uint64_t dropped = 0;
  uint8_t h[kRecordHeader];
  while (head_ + kRecordHeader <= end_ && ReadAt(data_fd_, h, sizeof h, head_) &&
         std::memcmp(h, kRecordMagic, 4) == 0 && SequenceAt(h) <= sequence) {
    head_ += kRecordHeader + Get32(h + 4);
    ++dropped;
    if (waiting_ > 0) --waiting_;
  }
  if (dropped == 0) return 0;
  head_seq_ = waiting_ > 0 && ReadAt(data_fd_, h, sizeof h, head_) ? SequenceAt(h) : next_seq_;
  if (waiting_ == 0) EmptyFile();
  WriteHead();
  return dropped;
}

// Read without the lock: status readers never wait for a write or a sync.
uint64_t Spool::Waiting() const { return waiting_.load(); }

std::pair<uint64_t, uint64_t> Spool::WaitingRange() const {
  std::lock_guard<std::mutex> lock(mu_);
  if (waiting_ == 0) return {0, 0};
  return {head_seq_, next_seq_ - 1};
}

uint64_t Spool::RefusedAtCap() const {
  std::lock_guard<std::mutex> lock(mu_);
  return refused_at_cap_;
}

bool Spool::AtCap() const {
  std::lock_guard<std::mutex> lock(mu_);
  return at_cap_;
}

std::string Spool::LastError() const {
  std::lock_guard<std::mutex> lock(mu_);
  return last_error_;
}

uint64_t Spool::SyncFailures() const {
  std::lock_guard<std::mutex> lock(mu_);
  return sync_failures_;
}

bool Spool::SyncFailing() const {
  std::lock_guard<std::mutex> lock(mu_);
  return sync_failing_;
}

std::string Spool::SyncError() const {
  std::lock_guard<std::mutex> lock(mu_);
  return sync_error_;
}

uint64_t Spool::Bytes() const {
  std::lock_guard<std::mutex> lock(mu_);
  return end_;
}

}  // namespace tallyhost
