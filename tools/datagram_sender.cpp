#include "datagram_sender.h"

#include <netdb.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <thread>

namespace tallysend {

UdpTarget::UdpTarget(const std::string& host, const std::string& port) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* found = nullptr;
  int rc = ::getaddrinfo(host.c_str(), port.c_str(), &hints, &found);
  if (rc != 0) throw std::runtime_error("can not resolve " + host + ": " + ::gai_strerror(rc));
  fd_ = ::socket(found->ai_family, found->ai_socktype | SOCK_CLOEXEC, found->ai_protocol);
  if (fd_ < 0) {
    ::freeaddrinfo(found);
    throw std::runtime_error(std::string("can not open a socket: ") + std::strerror(errno));
  }
  std::memcpy(&to_, found->ai_addr, found->ai_addrlen);
  to_len_ = found->ai_addrlen;
  ::freeaddrinfo(found);
}

UdpTarget::~UdpTarget() {
  if (fd_ >= 0) ::close(fd_);
}

void UdpTarget::Send(const std::vector<uint8_t>& bytes) {
  while (::sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to_), to_len_) < 0) {
    if (errno == ENOBUFS || errno == EAGAIN || errno == EINTR) {
      std::this_thread::sleep_for(std::chrono::microseconds(50));
      continue;
    }
    throw std::runtime_error(std::string("sending a datagram failed: ") + std::strerror(errno));
  }
}

bool IsLogDate(const std::string& record) {
  // A keyword record: empty field 1, field 3 "LogDate".
  if (record.empty() || record[0] != '\t') return false;
  const size_t second = record.find('\t', 1);
  if (second == std::string::npos || record.compare(second + 1, 7, "LogDate") != 0) return false;
  const size_t after = second + 8;
  return record.size() == after || record[after] == '\t' || record[after] == '\r';
}

BatchSender::BatchSender(UdpTarget& target, datagram::Builder base, size_t max_size, uint32_t first_packet,
                         Note note)
    : target_(target), base_(std::move(base)), max_size_(max_size), next_packet_(first_packet),
      note_(std::move(note)) {
  base_.records.clear();
}

void BatchSender::SendOne(datagram::Builder& part) {
  part.packet_number = next_packet_;
  const std::vector<uint8_t> bytes = part.Build();
  target_.Send(bytes);
  next_packet_ = next_packet_ >= datagram::kMaxPacketNumber ? 0 : next_packet_ + 1;
  ++datagrams_;
  bytes_ += bytes.size();
}

size_t BatchSender::Send(const std::vector<Line>& lines, size_t count,
                         const std::function<void(const Position&)>& sent,
                         const std::function<bool()>& stop) {
  if (count == 0) return 0;
  datagram::Builder log = base_;
  for (size_t i = 0; i < count; ++i) log.records.push_back(lines[i].text);
  std::vector<datagram::Builder> parts;
  try {
    parts = datagram::Split(log, max_size_);
  } catch (const std::exception&) {
    return SendEach(lines, count, sent, stop);
  }
  size_t done = 0;
  for (datagram::Builder& part : parts) {
    if (stop && stop()) break;
    SendOne(part);
    done += part.records.size();
    if (done > 0) sent(lines[done - 1].end);
  }
  return done;
}

size_t BatchSender::SendEach(const std::vector<Line>& lines, size_t count,
                             const std::function<void(const Position&)>& sent,
                             const std::function<bool()>& stop) {
  size_t done = 0;
  for (; done < count && !(stop && stop()); ++done) {
    datagram::Builder one = base_;
    one.records = {lines[done].text};
    std::vector<datagram::Builder> parts;
    try {
      parts = datagram::Split(one, max_size_);
    } catch (const std::exception& e) {
      if (note_) note_(std::string("a record is passed over: ") + e.what());
      sent(lines[done].end);
      continue;
    }
    for (datagram::Builder& part : parts) SendOne(part);
    sent(lines[done].end);
  }
  return done;
}

}  // namespace tallysend
