#include "http_front.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>

namespace http_front {
namespace {

using Clock = std::chrono::steady_clock;

// Milliseconds from now until `until`, at least 0.
int MillisUntil(Clock::time_point until) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
  return left <= 0 ? 0 : static_cast<int>(std::min<long long>(left, 1 << 30));
}

// Waits for `events` on `sock` for up to `ms`; true when they came.
bool Wait(int sock, short events, int ms) {
  pollfd p{sock, events, 0};
  int rc;
  do rc = ::poll(&p, 1, ms);
  while (rc < 0 && errno == EINTR);
  return rc > 0;
}

bool Address(int sock, bool peer, std::string* ip, int* port) {
  sockaddr_storage a{};
  socklen_t len = sizeof a;
  if ((peer ? ::getpeername(sock, reinterpret_cast<sockaddr*>(&a), &len)
            : ::getsockname(sock, reinterpret_cast<sockaddr*>(&a), &len)) != 0)
    return false;
  char text[INET6_ADDRSTRLEN] = {};
  if (a.ss_family == AF_INET) {
    const auto* v4 = reinterpret_cast<const sockaddr_in*>(&a);
    ::inet_ntop(AF_INET, &v4->sin_addr, text, sizeof text);
    *port = ntohs(v4->sin_port);
  } else if (a.ss_family == AF_INET6) {
    const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&a);
    ::inet_ntop(AF_INET6, &v6->sin6_addr, text, sizeof text);
    *port = ntohs(v6->sin6_port);
  } else {
    return false;
  }
  *ip = text;
  return true;
}

// One connection's stream: reads through a buffer kept from one request to
// the next, each read bounded by the read timeout and by the deadline of
// the request being read.
class ConnectionStream : public httplib::Stream {
 public:
  ConnectionStream(int sock, std::chrono::milliseconds read_timeout, std::chrono::milliseconds write_timeout)
      : sock_(sock), read_timeout_(read_timeout), write_timeout_(write_timeout) {}

  void SetDeadline(std::optional<Clock::time_point> deadline) { deadline_ = deadline; }
  // A read gave up (the request's deadline, or the read timeout): whatever
  // was answered, the connection ends.
  bool TimedOut() const { return timed_out_; }
  bool Buffered() const { return pos_ < len_; }

  bool is_readable() const override { return Buffered() || Wait(sock_, POLLIN, ReadWait()); }
  bool is_writable() const override {
    if (!Wait(sock_, POLLOUT, static_cast<int>(write_timeout_.count()))) return false;
    // Alive: not closed by the peer (a read would see the end).
    if (!Wait(sock_, POLLIN, 0)) return true;
    char byte;
    return ::recv(sock_, &byte, 1, MSG_PEEK | MSG_DONTWAIT) != 0;
  }

  ssize_t read(char* ptr, size_t size) override {
    if (!Buffered()) {
      const int wait = ReadWait();
      if (wait <= 0 || !Wait(sock_, POLLIN, wait)) {
        timed_out_ = true;   // timed out, or past the deadline
        return -1;
      }
      ssize_t n;
      do n = ::recv(sock_, buffer_, sizeof buffer_, 0);
      while (n < 0 && errno == EINTR);
      if (n <= 0) return n;
      pos_ = 0;
      len_ = static_cast<size_t>(n);
    }
    const size_t n = std::min(size, len_ - pos_);
    std::memcpy(ptr, buffer_ + pos_, n);
    pos_ += n;
    return static_cast<ssize_t>(n);
  }

  ssize_t write(const char* ptr, size_t size) override {
    size_t done = 0;
    while (done < size) {
      if (!Wait(sock_, POLLOUT, static_cast<int>(write_timeout_.count()))) return done ? static_cast<ssize_t>(done) : -1;
      const ssize_t n = ::send(sock_, ptr + done, size - done, MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return done ? static_cast<ssize_t>(done) : -1;
      done += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(done);
  }

  void get_remote_ip_and_port(std::string& ip, int& port) const override { Address(sock_, true, &ip, &port); }
  void get_local_ip_and_port(std::string& ip, int& port) const override { Address(sock_, false, &ip, &port); }
  socket_t socket() const override { return sock_; }

 private:
  int ReadWait() const {
    const int timeout = static_cast<int>(read_timeout_.count());
    return deadline_ ? std::min(timeout, MillisUntil(*deadline_)) : timeout;
  }

  int sock_;
  std::chrono::milliseconds read_timeout_, write_timeout_;
  std::optional<Clock::time_point> deadline_;
  bool timed_out_ = false;
  char buffer_[4096];
  size_t pos_ = 0, len_ = 0;
};

const char kBusy[] =
    "HTTP/1.1 503 Service Unavailable\r\nContent-Type: text/plain\r\nContent-Length: 37\r\nConnection: close\r\n\r\n"
    "too many connections from one client\n";

}  // namespace

int FrontServer::Bind(const std::string& host, int port) {
  const int bound = port == 0 ? bind_to_any_port(host) : (bind_to_port(host, port) ? port : -1);
  // Listening again sets a longer queue on the bound socket.
  if (bound > 0) ::listen(svr_sock_, limits_.backlog);
  return bound;
}

int FrontServer::OpenFrom(const std::string& address) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = open_.find(address);
  return it == open_.end() ? 0 : it->second;
}

bool FrontServer::Admit(const std::string& address) {
  std::lock_guard<std::mutex> lock(mutex_);
  int& n = open_[address];
  if (limits_.per_client > 0 && n >= limits_.per_client) {
    if (n == 0) open_.erase(address);
    return false;
  }
  ++n;
  return true;
}

void FrontServer::Leave(const std::string& address) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = open_.find(address);
  if (it != open_.end() && --it->second <= 0) open_.erase(it);
}

namespace {
// Set by CloseAfterAnswer on the worker that serves the request.
thread_local bool close_after_answer = false;
}  // namespace

void CloseAfterAnswer(httplib::Response& res) {
  res.set_header("Connection", "close");
  close_after_answer = true;
}

bool FrontServer::process_and_close_socket(socket_t sock) {
  std::string address;
  int port = 0;
  Address(sock, true, &address, &port);
  bool served = false;
  if (!Admit(address)) {
    ConnectionStream(sock, std::chrono::milliseconds(0), std::chrono::seconds(1)).write(kBusy, sizeof kBusy - 1);
  } else {
    using std::chrono::seconds;
    auto ms = [](time_t s, time_t us) {
      return std::chrono::duration_cast<std::chrono::milliseconds>(seconds(s) + std::chrono::microseconds(us));
    };
    ConnectionStream strm(sock, ms(read_timeout_sec_, read_timeout_usec_), ms(write_timeout_sec_, write_timeout_usec_));
    for (size_t left = keep_alive_max_count_; left > 0 && svr_sock_ != INVALID_SOCKET; --left) {
      // The next request: bytes already read, or the client's within the
      // keep-alive timeout (looked at in slices, so that a stop is seen).
      if (!strm.Buffered()) {
        const auto idle_until = Clock::now() + seconds(keep_alive_timeout_sec_);
        bool ready = false;
        while (!ready && svr_sock_ != INVALID_SOCKET && Clock::now() < idle_until)
          ready = Wait(sock, POLLIN, std::min(100, MillisUntil(idle_until)));
        if (!ready) break;
      }
      strm.SetDeadline(Clock::now() + limits_.head_deadline);
      bool closed = false;
      close_after_answer = false;
      served = process_request(strm, left == 1, closed, [&strm](httplib::Request&) { strm.SetDeadline(std::nullopt); });
      if (!served || closed || close_after_answer || strm.TimedOut()) break;
    }
    Leave(address);
  }
  ::shutdown(sock, SHUT_RDWR);
  ::close(sock);
  return served;
}

}  // namespace http_front
