// DelayRelay: accept, connect on, and move held chunks from one side to the
// other when their time has come.
#include "delay_relay.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <deque>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace benchkit {
namespace {

using Clock = std::chrono::steady_clock;

// Bytes read from `from`, bound for `to`.
struct Direction {
  int from = -1, to = -1;
  std::deque<std::pair<Clock::time_point, std::string>> held;   // not yet due
  std::string due;                                              // due, not yet written
  bool ended = false;      // `from` has closed its side
  bool shut = false;       // and `to` has been told
};

struct Link {
  Direction up, down;   // client to server, server to client
  bool failed = false;
  bool Done() const { return failed || (up.shut && down.shut); }
};

sockaddr_in Loopback(int port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

void NoDelay(int fd) {
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

// Moves due chunks on and writes what the other side takes now; gives the
// number of chunks that came due.
int Flush(Direction& d, Link& link, Clock::time_point now) {
  int chunks = 0;
  while (!d.held.empty() && d.held.front().first <= now) {
    d.due += d.held.front().second;
    d.held.pop_front();
    ++chunks;
  }
  while (!d.due.empty()) {
    const ssize_t n = ::send(d.to, d.due.data(), d.due.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      d.due.erase(0, static_cast<size_t>(n));
    } else {
      if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) link.failed = true;
      break;
    }
  }
  if (d.ended && !d.shut && d.held.empty() && d.due.empty()) {
    ::shutdown(d.to, SHUT_WR);
    d.shut = true;
  }
  return chunks;
}

// Reads what `d.from` has, to be written on after `delay`.
void Read(Direction& d, Link& link, Clock::time_point now, std::chrono::microseconds delay) {
  char buf[65536];
  const ssize_t n = ::recv(d.from, buf, sizeof buf, MSG_DONTWAIT);
  if (n > 0) {
    d.held.emplace_back(now + delay, std::string(buf, static_cast<size_t>(n)));
  } else if (n == 0) {
    d.ended = true;
  } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
    link.failed = true;
  }
}

}  // namespace

DelayRelay::DelayRelay(int target_port, std::chrono::microseconds delay)
    : target_port_(target_port), delay_(delay) {
  listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a = Loopback(0);
  socklen_t len = sizeof a;
  if (listen_fd_ < 0 || ::bind(listen_fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      ::listen(listen_fd_, 64) != 0 || ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&a), &len) != 0)
    throw std::runtime_error(std::string("relay: cannot listen: ") + std::strerror(errno));
  port_ = ntohs(a.sin_port);
  wake_fd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wake_fd_ < 0) throw std::runtime_error("relay: eventfd failed");
  thread_ = std::thread([this] { Loop(); });
}

DelayRelay::~DelayRelay() {
  const uint64_t one = 1;
  if (::write(wake_fd_, &one, sizeof one) < 0) {
  }
  thread_.join();
  ::close(wake_fd_);
  ::close(listen_fd_);
}

void DelayRelay::Loop() {
  std::vector<std::unique_ptr<Link>> links;
  std::vector<pollfd> fds;
  for (;;) {
    Clock::time_point now = Clock::now();
    Clock::time_point next = Clock::time_point::max();
    for (auto& l : links) {
      requests_ += Flush(l->up, *l, now);
      Flush(l->down, *l, now);
      for (const Direction* d : {&l->up, &l->down})
        if (!d->held.empty()) next = std::min(next, d->held.front().first);
    }
    for (size_t i = 0; i < links.size();) {
      if (links[i]->Done()) {
        ::close(links[i]->up.from);
        ::close(links[i]->up.to);
        links.erase(links.begin() + static_cast<std::ptrdiff_t>(i));
      } else {
        ++i;
      }
    }

    fds.assign({{listen_fd_, POLLIN, 0}, {wake_fd_, POLLIN, 0}});
    for (auto& l : links) {
      // A side is read while it is open, written while it has due bytes left.
      const short client = static_cast<short>((l->up.ended ? 0 : POLLIN) | (l->down.due.empty() ? 0 : POLLOUT));
      const short server = static_cast<short>((l->down.ended ? 0 : POLLIN) | (l->up.due.empty() ? 0 : POLLOUT));
      // A side with nothing to wait for is left out (a negative descriptor),
      // so that its hang-up does not wake the loop again and again.
      fds.push_back({client ? l->up.from : -1, client, 0});
      fds.push_back({server ? l->down.from : -1, server, 0});
    }
    timespec wait{};
    timespec* timeout = nullptr;
    if (next != Clock::time_point::max()) {
      const auto ns = std::max<long long>(0, std::chrono::duration_cast<std::chrono::nanoseconds>(next - now).count());
      wait.tv_sec = static_cast<time_t>(ns / 1000000000);
      wait.tv_nsec = static_cast<long>(ns % 1000000000);
      timeout = &wait;
    }
    if (::ppoll(fds.data(), fds.size(), timeout, nullptr) < 0 && errno != EINTR) break;
    if (fds[1].revents) break;   // told to stop
    now = Clock::now();
    for (size_t i = 0; i < links.size(); ++i) {
      Link& l = *links[i];
      if (fds[2 + 2 * i].revents & (POLLIN | POLLHUP | POLLERR)) Read(l.up, l, now, delay_);
      if (fds[3 + 2 * i].revents & (POLLIN | POLLHUP | POLLERR)) Read(l.down, l, now, delay_);
    }
    if (fds[0].revents & POLLIN) {
      const int client = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (client < 0) continue;
      const int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      const sockaddr_in to = Loopback(target_port_);
      if (server < 0 || ::connect(server, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
        ::close(client);
        if (server >= 0) ::close(server);
        continue;
      }
      NoDelay(client);
      NoDelay(server);
      auto link = std::make_unique<Link>();
      link->up.from = link->down.to = client;
      link->up.to = link->down.from = server;
      links.push_back(std::move(link));
      ++connections_;
    }
  }
  for (auto& l : links) {
    ::close(l->up.from);
    ::close(l->up.to);
  }
}

}  // namespace benchkit
