// UdpCatcher: a loopback UDP socket that receives tallysend's datagrams and
// takes them apart (header packet number, record lines) for the tests.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct CaughtDatagram {
  uint32_t packet = 0;
  std::vector<std::string> records;
  std::vector<std::string> player_vars;
};

// Takes a datagram apart: bytes 5 to 8 give the packet number (weights
// 4096, 256, 16, 1), the server variables run to the first NUL, then record
// lines ended by LF up to a line led by NUL (the player variables). nullopt
// for a datagram that does not have that form.
std::optional<CaughtDatagram> ParseDatagram(const std::string& bytes);

class UdpCatcher {
 public:
  UdpCatcher();
  ~UdpCatcher();
  UdpCatcher(const UdpCatcher&) = delete;
  UdpCatcher& operator=(const UdpCatcher&) = delete;

  int port() const { return port_; }
  std::string to() const { return "127.0.0.1:" + std::to_string(port_); }

  // Receives until `count` records in all have arrived or `bound` has
  // passed; whether they have.
  bool WaitRecords(size_t count, std::chrono::seconds bound = std::chrono::seconds(60));
  // Receives until a record equal to `record` has arrived.
  bool WaitFor(const std::string& record, std::chrono::seconds bound = std::chrono::seconds(60));

  // Takes in what has arrived by now, without waiting.
  void Drain();

  const std::vector<CaughtDatagram>& datagrams() const { return datagrams_; }
  std::vector<std::string> records() const;
  // Whether every packet number is larger than the one before.
  bool PacketsIncrease() const;

 private:
  bool ReceiveOne(std::chrono::milliseconds wait);
  int fd_ = -1;
  int port_ = 0;
  std::vector<CaughtDatagram> datagrams_;
  size_t record_count_ = 0;
};
