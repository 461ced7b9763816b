// A TCP relay on loopback that holds every chunk it forwards for a fixed
// time, in both directions, so that each round trip between a client and
// the server behind it costs at least twice that time: a slow network for
// benchmarks on a machine whose kernel cannot delay packets itself.
//
// Clients connect to Port(); each connection gets one of its own to
// 127.0.0.1:target_port. A chunk read from either side is written to the
// other side once `delay` has passed since it was read; chunks keep their
// order. One thread (ppoll, microsecond timeouts) serves every connection;
// the destructor stops it and closes them all.
#pragma once

#include <atomic>
#include <chrono>
#include <thread>

namespace benchkit {

class DelayRelay {
 public:
  DelayRelay(int target_port, std::chrono::microseconds delay);
  ~DelayRelay();
  DelayRelay(const DelayRelay&) = delete;
  DelayRelay& operator=(const DelayRelay&) = delete;

  int Port() const { return port_; }
  // Chunks forwarded from clients to the server so far: about one a round
  // trip for a client that waits for each answer before it asks again.
  long long Requests() const { return requests_.load(); }
  // Connections accepted so far.
  long long Connections() const { return connections_.load(); }

 private:
  void Loop();

  int target_port_;
  std::chrono::microseconds delay_;
  int listen_fd_ = -1;
  int wake_fd_ = -1;
  int port_ = 0;
  std::atomic<long long> requests_{0}, connections_{0};
  std::thread thread_;
};

}  // namespace benchkit
