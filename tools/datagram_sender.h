// The sending end of tallysend: a UDP socket towards the listener, and
// BatchSender, which lays records out into as few datagrams as fit and sends
// them with increasing packet numbers.
#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "datagram_builder.h"
#include "line_splitter.h"

namespace tallysend {

class UdpTarget {
 public:
  // Resolves host and port; std::runtime_error with the reason when it can not.
  UdpTarget(const std::string& host, const std::string& port);
  ~UdpTarget();
  UdpTarget(const UdpTarget&) = delete;
  UdpTarget& operator=(const UdpTarget&) = delete;
  // Sends one datagram, waiting while the socket's buffer is full;
  // std::runtime_error when it can not be sent.
  void Send(const std::vector<uint8_t>& bytes);

 private:
  int fd_ = -1;
  sockaddr_storage to_{};
  socklen_t to_len_ = 0;
};

// Whether a record is a "LogDate" record, which belongs in one datagram with
// the record after it (that record carries its time).
bool IsLogDate(const std::string& record);

class BatchSender {
 public:
  using Note = std::function<void(const std::string&)>;
  // `base` holds the server variables and the player variable lines (sent
  // after the records of every batch); its records are not used.
  BatchSender(UdpTarget& target, datagram::Builder base, size_t max_size, uint32_t first_packet, Note note);

  // Sends lines[0, count) in as few datagrams as fit; after each datagram
  // calls `sent` with the position after its last record. A record that can
  // not be sent at all (longer than a datagram, or not a record line) is
  // passed over with a note. Stops before the next datagram once `stop`
  // (when given) says so. The number of lines dealt with (sent or passed over).
  size_t Send(const std::vector<Line>& lines, size_t count, const std::function<void(const Position&)>& sent,
              const std::function<bool()>& stop);

  uint32_t next_packet() const { return next_packet_; }
  uint64_t datagrams() const { return datagrams_; }
  uint64_t bytes() const { return bytes_; }

 private:
  void SendOne(datagram::Builder& part);
  size_t SendEach(const std::vector<Line>& lines, size_t count, const std::function<void(const Position&)>& sent,
                  const std::function<bool()>& stop);

  UdpTarget& target_;
  datagram::Builder base_;
  size_t max_size_;
  uint32_t next_packet_;
  Note note_;
  uint64_t datagrams_ = 0, bytes_ = 0;
};

}  // namespace tallysend
