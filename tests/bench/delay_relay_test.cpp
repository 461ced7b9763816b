// DelayRelay against an echo server on loopback: bytes pass intact and in
// order both ways, a round trip takes at least twice the delay, an end of
// the client's side reaches the server, and connections are counted.
#include "delay_relay.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>

namespace benchkit {
namespace {

using namespace std::chrono_literals;

sockaddr_in Loopback(int port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

// Echoes each connection's bytes back until the client ends its side, then
// ends its own; serves `connections` connections one after another.
class EchoServer {
 public:
  explicit EchoServer(int connections) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = Loopback(0);
    socklen_t len = sizeof a;
    EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    EXPECT_EQ(::listen(fd_, 8), 0);
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this, connections] {
      for (int i = 0; i < connections; ++i) {
        const int c = ::accept(fd_, nullptr, nullptr);
        if (c < 0) return;
        char buf[8192];
        ssize_t n;
        while ((n = ::recv(c, buf, sizeof buf, 0)) > 0) {
          received_ += static_cast<size_t>(n);
          ssize_t off = 0, w = 1;
          while (off < n && (w = ::send(c, buf + off, static_cast<size_t>(n - off), MSG_NOSIGNAL)) > 0) off += w;
          if (w <= 0) break;
        }
        ended_ = n == 0;
        ::close(c);
      }
    });
  }
  ~EchoServer() {
    thread_.join();
    ::close(fd_);
  }
  int port() const { return port_; }
  size_t received() const { return received_; }
  bool ended() const { return ended_; }

 private:
  int fd_ = -1, port_ = 0;
  std::atomic<size_t> received_{0};
  std::atomic<bool> ended_{false};
  std::thread thread_;
};

int Connect(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  const sockaddr_in a = Loopback(port);
  EXPECT_EQ(::connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a), 0);
  return fd;
}

std::string ReadExactly(int fd, size_t n) {
  std::string out;
  char buf[8192];
  while (out.size() < n) {
    const ssize_t got = ::recv(fd, buf, std::min(sizeof buf, n - out.size()), 0);
    if (got <= 0) break;
    out.append(buf, static_cast<size_t>(got));
  }
  return out;
}

TEST(DelayRelay, ARoundTripTakesAtLeastTwiceTheDelayAndConnectionsAreCounted) {
  EchoServer echo(2);
  DelayRelay relay(echo.port(), 20ms);
  const int fd = Connect(relay.Port());
  for (int i = 0; i < 3; ++i) {
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(::send(fd, "ping", 4, 0), 4);
    EXPECT_EQ(ReadExactly(fd, 4), "ping");
    EXPECT_GE(std::chrono::steady_clock::now() - start, 40ms);
  }
  ::close(fd);
  EXPECT_EQ(relay.Connections(), 1);
  EXPECT_GE(relay.Requests(), 3);
  // A second connection after the first one ended (the echo server waits for it).
  const int again = Connect(relay.Port());
  EXPECT_EQ(::send(again, "second", 6, 0), 6);
  EXPECT_EQ(ReadExactly(again, 6), "second");
  ::close(again);
  EXPECT_EQ(relay.Connections(), 2);
}

TEST(DelayRelay, BytesPassIntactAndInOrderAndTheEndOfASideReachesTheOther) {
  EchoServer echo(1);
  DelayRelay relay(echo.port(), 100us);
  const int fd = Connect(relay.Port());
  std::string sent;
  for (int i = 0; sent.size() < 1 << 20; ++i) sent += std::to_string(i) + ",";
  std::thread writer([&] {
    for (size_t off = 0; off < sent.size();) {
      const ssize_t n = ::send(fd, sent.data() + off, std::min<size_t>(3000, sent.size() - off), MSG_NOSIGNAL);
      ASSERT_GT(n, 0);
      off += static_cast<size_t>(n);
    }
    ::shutdown(fd, SHUT_WR);
  });
  const std::string back = ReadExactly(fd, sent.size());
  writer.join();
  EXPECT_TRUE(back == sent) << back.size() << " bytes of " << sent.size();
  char extra = 0;
  EXPECT_EQ(::recv(fd, &extra, 1, 0), 0);   // the server ended its side in turn
  EXPECT_EQ(echo.received(), sent.size());
  ::close(fd);
}

}  // namespace
}  // namespace benchkit
