#include "spool.h"

#include <algorithm>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <stdexcept>

namespace tallyhost {

namespace {

constexpr char kMagic[4] = {'T', 'S', 'P', '1'};
constexpr size_t kHeader = 12;   // magic, payload length, CRC-32
constexpr uint64_t kHeadCheck = 0x5441'4C4C'5953'504FULL;

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

uint32_t Crc(const uint8_t* p, size_t n) {
  return static_cast<uint32_t>(crc32(crc32(0L, Z_NULL, 0), p, static_cast<uInt>(n)));
}

std::runtime_error FileError(const std::string& what, const std::string& path) {
  return std::runtime_error(what + " " + path + ": " + std::strerror(errno));
}

bool WriteAll(int fd, const uint8_t* p, size_t n) {
  while (n > 0) {
    ssize_t w = ::write(fd, p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    p += w;
    n -= static_cast<size_t>(w);
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

}  // namespace

std::vector<uint8_t> EncodeSpoolRecord(const SpooledDatagram& d) {
  std::vector<uint8_t> payload;
  uint64_t arrival;
  static_assert(sizeof arrival == sizeof d.arrival);
  std::memcpy(&arrival, &d.arrival, sizeof arrival);
  Put64(payload, arrival);
  Put32(payload, static_cast<uint32_t>(d.sender_port));
  Put32(payload, static_cast<uint32_t>(d.local_port));
  const size_t address = std::min<size_t>(d.sender_address.size(), 255);
  payload.push_back(static_cast<uint8_t>(address));
  payload.insert(payload.end(), d.sender_address.begin(), d.sender_address.begin() + address);
  payload.insert(payload.end(), d.data.begin(), d.data.end());
  std::vector<uint8_t> out(kMagic, kMagic + 4);
  Put32(out, static_cast<uint32_t>(payload.size()));
  Put32(out, Crc(payload.data(), payload.size()));
  out.insert(out.end(), payload.begin(), payload.end());
  return out;
}

size_t DecodeSpoolRecord(const uint8_t* bytes, size_t size, SpooledDatagram* out) {
  if (size < kHeader || std::memcmp(bytes, kMagic, 4) != 0) return 0;
  const uint32_t length = Get32(bytes + 4);
  if (length < 17 || length > Spool::kMaxPayload || length > size - kHeader) return 0;
  const uint8_t* p = bytes + kHeader;
  if (Crc(p, length) != Get32(bytes + 8)) return 0;
  const size_t address = p[16];
  if (17 + address > length) return 0;
  if (out) {
    uint64_t arrival = Get64(p);
    std::memcpy(&out->arrival, &arrival, sizeof arrival);
    out->sender_port = static_cast<int32_t>(Get32(p + 8));
    out->local_port = static_cast<int32_t>(Get32(p + 12));
    out->sender_address.assign(reinterpret_cast<const char*>(p + 17), address);
    out->data.assign(p + 17 + address, p + length);
  }
  return kHeader + length;
}

Spool::Spool(const std::string& folder, const std::string& name)
    : data_path_(folder + "/" + name + ".spool"), head_path_(folder + "/" + name + ".head") {
  std::error_code ec;
  std::filesystem::create_directories(folder, ec);
  data_fd_ = ::open(data_path_.c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  if (data_fd_ < 0) throw FileError("Can not open the spool", data_path_);
  // One program per spool: another listener on the same folder (whose
  // port here is taken) must not hand over, and so store again, what this
  // one keeps. The lock goes with the descriptor.
  if (::flock(data_fd_, LOCK_EX | LOCK_NB) != 0) {
    ::close(data_fd_);
    throw std::runtime_error("The spool " + data_path_ + " is in use by another program; this one leaves it alone.");
  }
  head_fd_ = ::open(head_path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (head_fd_ < 0) {
    ::close(data_fd_);
    throw FileError("Can not open the spool head", head_path_);
  }
  try {
    Recover();
  } catch (...) {
    ::close(data_fd_);
    ::close(head_fd_);
    throw;
  }
}

Spool::~Spool() {
  ::close(data_fd_);
  ::close(head_fd_);
}

void Spool::Recover() {
  struct stat st;
  if (::fstat(data_fd_, &st) != 0) throw FileError("Can not read the spool", data_path_);
  end_ = static_cast<uint64_t>(st.st_size);
  uint8_t h[16];
  head_ = 0;
  if (ReadAt(head_fd_, h, sizeof h, 0) && (Get64(h) ^ kHeadCheck) == Get64(h + 8) && Get64(h) <= end_)
    head_ = Get64(h);
  if (head_ == end_) {
    if (end_ > 0 && ::ftruncate(data_fd_, 0) == 0) end_ = head_ = 0;
    WriteHead();
    return;
  }
  // Walk the records after the head; anything that is no intact record is
  // skipped up to the next intact one.
  void* map = ::mmap(nullptr, end_, PROT_READ, MAP_PRIVATE, data_fd_, 0);
  if (map == MAP_FAILED) throw FileError("Can not read the spool", data_path_);
  const uint8_t* bytes = static_cast<const uint8_t*>(map);
  std::vector<std::pair<uint64_t, uint64_t>> intact;   // offset, size
  uint64_t at = head_;
  bool in_damage = false;
  while (at < end_) {
    size_t n = DecodeSpoolRecord(bytes + at, end_ - at, nullptr);
    if (n > 0) {
      intact.emplace_back(at, n);
      at += n;
      in_damage = false;
      continue;
    }
    if (!in_damage) ++damage_.regions;
    in_damage = true;
    ++damage_.bytes;
    ++at;
  }
  waiting_ = intact.size();
  if (damage_.bytes > 0) {
    // Rewrite the file with the intact records only.
    const std::string temp = data_path_ + ".new";
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    bool ok = fd >= 0;
    uint64_t size = 0;
    for (const auto& [offset, n] : intact) {
      ok = ok && WriteAll(fd, bytes + offset, n);
      size += n;
    }
    ok = ok && ::fsync(fd) == 0;
    if (fd >= 0) ::close(fd);
    ::munmap(map, end_);
    if (!ok || ::rename(temp.c_str(), data_path_.c_str()) != 0) {
      ::unlink(temp.c_str());
      throw FileError("Can not repair the spool", data_path_);
    }
    ::close(data_fd_);
    data_fd_ = ::open(data_path_.c_str(), O_RDWR | O_APPEND | O_CLOEXEC);
    if (data_fd_ < 0) throw FileError("Can not open the spool", data_path_);
    head_ = 0;
    end_ = size;
    WriteHead();
    return;
  }
  ::munmap(map, end_);
}

void Spool::WriteHead() {
  uint8_t h[16];
  for (int i = 0; i < 8; ++i) {
    h[i] = static_cast<uint8_t>(head_ >> (8 * i));
    h[8 + i] = static_cast<uint8_t>((head_ ^ kHeadCheck) >> (8 * i));
  }
  // A head that cannot be written only costs a repeat after a restart.
  if (::pwrite(head_fd_, h, sizeof h, 0) != static_cast<ssize_t>(sizeof h)) {
  }
}

bool Spool::Append(const SpooledDatagram& d) {
  std::vector<uint8_t> record = EncodeSpoolRecord(d);
  std::lock_guard<std::mutex> lock(mu_);
  if (!WriteAll(data_fd_, record.data(), record.size())) {
    // Take back a record cut short, so that the file stays a list of records.
    if (::ftruncate(data_fd_, static_cast<off_t>(end_)) != 0) {
    }
    return false;
  }
  end_ += record.size();
  ++waiting_;
  return true;
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
  if (head_ + kHeader > end_ || !have(kHeader)) return std::nullopt;
  const uint32_t length = Get32(ahead_.data() + (head_ - ahead_at_) + 4);
  if (length > kMaxPayload || head_ + kHeader + length > end_ || !have(kHeader + length)) return std::nullopt;
  SpooledDatagram d;
  size_t n = DecodeSpoolRecord(ahead_.data() + (head_ - ahead_at_), kHeader + length, &d);
  if (n == 0) return std::nullopt;
  peeked_size_ = n;
  return d;
}

void Spool::Pop() {
  std::lock_guard<std::mutex> lock(mu_);
  if (peeked_size_ == 0) return;
  head_ += peeked_size_;
  peeked_size_ = 0;
  if (waiting_ > 0) --waiting_;
  if (head_ >= end_ && ::ftruncate(data_fd_, 0) == 0) {
    head_ = end_ = 0;
    ahead_.clear();
  }
  WriteHead();
}

uint64_t Spool::Waiting() const {
  std::lock_guard<std::mutex> lock(mu_);
  return waiting_;
}

}  // namespace tallyhost
