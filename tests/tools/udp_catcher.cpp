#include "udp_catcher.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

std::optional<CaughtDatagram> ParseDatagram(const std::string& bytes) {
  if (bytes.size() < 20) return std::nullopt;
  CaughtDatagram d;
  auto b = [&](size_t i) { return static_cast<uint32_t>(static_cast<unsigned char>(bytes[i])); };
  d.packet = 4096 * b(4) + 256 * b(5) + 16 * b(6) + b(7);
  size_t pos = bytes.find('\0', 20);
  if (pos == std::string::npos) return std::nullopt;
  ++pos;
  bool players = false;
  while (pos < bytes.size()) {
    const size_t lf = bytes.find('\n', pos);
    if (lf == std::string::npos) return std::nullopt;   // every line ends with LF
    std::string line = bytes.substr(pos, lf - pos);
    if (!players && !line.empty() && line[0] == '\0') {
      players = true;
      line.erase(0, 1);
    }
    (players ? d.player_vars : d.records).push_back(line);
    pos = lf + 1;
  }
  return d;
}

UdpCatcher::UdpCatcher() : fd_(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
    throw std::runtime_error("can not bind a UDP socket");
  const int size = 4 << 20;
  ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  socklen_t len = sizeof a;
  ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
  port_ = ntohs(a.sin_port);
}

UdpCatcher::~UdpCatcher() { ::close(fd_); }

bool UdpCatcher::ReceiveOne(std::chrono::milliseconds wait) {
  pollfd p{fd_, POLLIN, 0};
  if (::poll(&p, 1, static_cast<int>(wait.count())) <= 0) return false;
  std::string buffer(65536, '\0');
  const ssize_t n = ::recv(fd_, buffer.data(), buffer.size(), 0);
  if (n < 0) return false;
  buffer.resize(static_cast<size_t>(n));
  std::optional<CaughtDatagram> d = ParseDatagram(buffer);
  if (!d) throw std::runtime_error("a datagram of an unknown form arrived");
  record_count_ += d->records.size();
  datagrams_.push_back(std::move(*d));
  return true;
}

bool UdpCatcher::WaitRecords(size_t count, std::chrono::seconds bound) {
  const auto until = std::chrono::steady_clock::now() + bound;
  while (record_count_ < count && std::chrono::steady_clock::now() < until)
    ReceiveOne(std::chrono::milliseconds(100));
  return record_count_ >= count;
}

bool UdpCatcher::WaitFor(const std::string& record, std::chrono::seconds bound) {
  const auto until = std::chrono::steady_clock::now() + bound;
  for (size_t seen = 0;; ) {
    for (; seen < datagrams_.size(); ++seen)
      for (const std::string& r : datagrams_[seen].records)
        if (r == record) return true;
    if (std::chrono::steady_clock::now() >= until) return false;
    ReceiveOne(std::chrono::milliseconds(100));
  }
}

void UdpCatcher::Drain() {
  while (ReceiveOne(std::chrono::milliseconds(0))) {
  }
}

std::vector<std::string> UdpCatcher::records() const {
  std::vector<std::string> all;
  for (const CaughtDatagram& d : datagrams_) all.insert(all.end(), d.records.begin(), d.records.end());
  return all;
}

bool UdpCatcher::PacketsIncrease() const {
  for (size_t i = 1; i < datagrams_.size(); ++i)
    if (datagrams_[i].packet <= datagrams_[i - 1].packet) return false;
  return true;
}
