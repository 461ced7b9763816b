#include "stream_send.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <vector>

#include "log_follower.h"
#include "send_state.h"

namespace tallysend {
namespace {

constexpr size_t kBatchBytes = 1 << 20;
constexpr long kPollMs = 200;

volatile std::sig_atomic_t g_stop = 0;

void OnStop(int) { g_stop = 1; }

// SIGTERM and SIGINT set g_stop. They are blocked except while waiting in
// ppoll with `*waiting`, so that a stop never goes unseen between the test
// of g_stop and the wait; a batch being sent looks for them with Stopping.
void CatchStop(sigset_t* waiting) {
  struct sigaction sa {};
  sa.sa_handler = OnStop;
  sigemptyset(&sa.sa_mask);
  ::sigaction(SIGTERM, &sa, nullptr);
  ::sigaction(SIGINT, &sa, nullptr);
  sigset_t stops;
  sigemptyset(&stops);
  sigaddset(&stops, SIGTERM);
  sigaddset(&stops, SIGINT);
  ::sigprocmask(SIG_BLOCK, &stops, waiting);
  sigdelset(waiting, SIGTERM);
  sigdelset(waiting, SIGINT);
}

// Whether a stop has come: caught already, or waiting while blocked (in the
// middle of a batch).
bool Stopping() {
  if (g_stop) return true;
  sigset_t pending;
  return ::sigpending(&pending) == 0 && (sigismember(&pending, SIGTERM) == 1 || sigismember(&pending, SIGINT) == 1);
}

void Note(const std::string& text) { std::fprintf(stderr, "tallysend: %s\n", text.c_str()); }

// How many of the lines can go now: all but a last "LogDate", which waits
// for the record after it (unless the input has ended).
size_t Ready(const std::vector<Line>& pending, bool ended) {
  size_t n = pending.size();
  if (n > 0 && !ended && IsLogDate(pending.back().text)) --n;
  return n;
}

void Summary(const Options& o, const BatchSender& sender, std::chrono::steady_clock::time_point start) {
  if (o.quiet) return;
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::fprintf(stderr, "tallysend: %llu datagrams, %llu bytes to %s:%s in %.3f s\n",
               static_cast<unsigned long long>(sender.datagrams()),
               static_cast<unsigned long long>(sender.bytes()), o.host.c_str(), o.target_port.c_str(), seconds);
}

}  // namespace

int RunStdin(const Options& o, UdpTarget& target) {
  sigset_t waiting;
  CatchStop(&waiting);
  const auto start = std::chrono::steady_clock::now();
  BatchSender sender(target, o.log, o.max_size, o.log.packet_number, Note);
  LineSplitter splitter;
  std::vector<Line> pending;
  size_t pending_bytes = 0;
  bool ended = false;
  auto send = [&](size_t count) {
    sender.Send(pending, count, [](const Position&) {}, {});
    pending.erase(pending.begin(), pending.begin() + static_cast<long>(count));
    pending_bytes = 0;
    for (const Line& l : pending) pending_bytes += l.text.size();
  };
  try {
    std::vector<char> buffer(64 * 1024);
    while (!ended && !g_stop) {
      // Wait for input unless there are records to send when it pauses.
      const timespec now{0, 0};
      pollfd in{STDIN_FILENO, POLLIN, 0};
      const int r = ::ppoll(&in, 1, Ready(pending, false) > 0 ? &now : nullptr, &waiting);
      if (r < 0 && errno == EINTR) continue;
      if (r < 0) Fail(std::string("can not wait for standard input: ") + std::strerror(errno));
      if (r == 0) {
        send(Ready(pending, false));
        continue;
      }
      const ssize_t n = ::read(STDIN_FILENO, buffer.data(), buffer.size());
      if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      if (n < 0) Fail(std::string("can not read standard input: ") + std::strerror(errno));
      if (n == 0) {
        ended = true;
        break;
      }
      const size_t before = pending.size();
      splitter.Feed(std::string_view(buffer.data(), static_cast<size_t>(n)), &pending);
      for (size_t i = before; i < pending.size(); ++i) pending_bytes += pending[i].text.size();
      if (pending_bytes >= kBatchBytes) send(Ready(pending, false));
    }
    // At the end, or stopped: what was read goes out.
    splitter.Finish(&pending);
    send(pending.size());
  } catch (const std::exception& e) {
    Fail(e.what());
  }
  Summary(o, sender, start);
  return 0;
}

int RunFollow(const Options& o, UdpTarget& target) {
  sigset_t waiting;
  CatchStop(&waiting);
  const auto start = std::chrono::steady_clock::now();
  std::optional<SendState> saved;
  std::string error;
  if (!o.state_path.empty()) {
    saved = LoadState(o.state_path, &error);
    if (!error.empty()) Fail(error);
  }
  LogFollower follower(o.follow_path, {o.from_start, saved ? std::optional(saved->position) : std::nullopt}, Note);
  BatchSender sender(target, o.log, o.max_size, saved ? saved->next_packet : o.log.packet_number, Note);
  auto save = [&](const Position& p) {
    if (o.state_path.empty()) return;
    SendState now{p, sender.next_packet()};
    if (saved == now) return;
    if (!SaveState(o.state_path, now, &error)) Fail(error);
    saved = now;
  };
  std::vector<Line> pending;
  try {
    while (!g_stop) {
      follower.Step(&pending);
      // A first run notes where it began before it sends anything.
      if (!saved && follower.first_position()) save(*follower.first_position());
      const size_t done = sender.Send(pending, Ready(pending, false), save, Stopping);
      pending.erase(pending.begin(), pending.begin() + static_cast<long>(done));
      // Nothing waiting: the follower's position (past empty lines, into a
      // new file) is where a restart goes on.
      if (pending.empty()) save(follower.position());
      const timespec pause{0, follower.more() ? 0 : kPollMs * 1000000};
      ::ppoll(nullptr, 0, &pause, &waiting);
    }
  } catch (const std::exception& e) {
    Fail(e.what());
  }
  Summary(o, sender, start);
  return 0;
}

}  // namespace tallysend
