#include "headless_front.h"

#include <signal.h>

#include "msgbox.h"
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <iostream>
#include <string>

namespace tallyhost {

void HeadlessFront::SetColumnWidth(int column, float twips) {
  if (column >= 1 && column <= 4) columns_[static_cast<size_t>(column - 1)] = twips;
}

float HeadlessFront::ColumnWidth(int column) const {
  return column >= 1 && column <= 4 ? columns_[static_cast<size_t>(column - 1)] : 0;
}

void HeadlessFront::SetStatus(const std::string& text) {
  if (quiet_ || text.find('\n') != std::string::npos) return;
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

namespace {
bool ReadLine(std::string* line) { return static_cast<bool>(std::getline(std::cin, *line)); }

bool ReadSecret(std::string* line) {
  termios old{};
  bool restore = ::tcgetattr(STDIN_FILENO, &old) == 0;
  if (restore) {
    termios quiet = old;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    ::tcsetattr(STDIN_FILENO, TCSANOW, &quiet);
  }
  bool ok = ReadLine(line);
  if (restore) ::tcsetattr(STDIN_FILENO, TCSANOW, &old);
  std::fputc('\n', stderr);
  return ok;
}
}  // namespace

bool HeadlessFront::ShowLogin(const std::string& label1, const std::string& label2,
                              LogonTester& tester) {
  if (!::isatty(STDIN_FILENO)) {
    std::fprintf(stderr,
                 "Tallyhost: the connection on %s (%s) requires a database logon, but standard "
                 "input is not a terminal: the logon is treated as cancelled and the connection "
                 "is not opened.\n",
                 label1.c_str(), label2.c_str());
    return false;
  }
  while (true) {
    std::fprintf(stderr, "Database Logon\n%s\n%s\nUser Name: ", label1.c_str(), label2.c_str());
    std::fflush(stderr);
    std::string user, password;
    if (!ReadLine(&user)) return false;
    std::fprintf(stderr, "Password: ");
    std::fflush(stderr);
    if (!ReadSecret(&password)) return false;
    switch (tester.Test(user, password)) {
      case LogonTester::Outcome::Accepted:
        return true;
      case LogonTester::Outcome::Cancelled:
        return false;
      case LogonTester::Outcome::TryAgain:
        break;
    }
  }
}

namespace {
int g_signal_fd[2] = {-1, -1};
int g_report_fd[2] = {-1, -1};   // SIGUSR1 to the report thread, when there is one
std::atomic<bool> g_report_thread{false};
// The signals received and not yet handled on the main thread, a bit each.
std::atomic<uint32_t> g_pending{0};
static_assert(std::atomic<uint32_t>::is_always_lock_free);

void OnSignal(int sig) {
  // Only the signals that end the program make a pass waiting at a lock
  // give up at its next prompt; SIGHUP and SIGUSR1 ask for a reload and a
  // status and leave the lock budget alone.
  if (sig == SIGINT || sig == SIGTERM) msgbox::RequestStop();
  const unsigned char b = static_cast<unsigned char>(sig);
  // The handler never waits for room in a socket: a thread that waited
  // there, the main thread among them, would never come back while the main
  // thread is the one to empty it. A full socket already holds wake-ups, so
  // nothing is lost: the main thread takes the signals from g_pending, and
  // a report asked for while others wait is answered by theirs.
  const int interrupted_errno = errno;   // of the code the signal interrupted
  if (sig == SIGUSR1 && g_report_thread) {
    (void)::send(g_report_fd[0], &b, 1, MSG_DONTWAIT | MSG_NOSIGNAL);
  } else {
    g_pending.fetch_or(1u << sig);
    (void)::send(g_signal_fd[0], &b, 1, MSG_DONTWAIT | MSG_NOSIGNAL);
  }
  errno = interrupted_errno;
}
}  // namespace

SignalWatcher::SignalWatcher(QObject* parent) : QObject(parent) {
  if (::socketpair(AF_UNIX, SOCK_STREAM, 0, g_signal_fd) != 0) return;
  notifier_ = new QSocketNotifier(g_signal_fd[1], QSocketNotifier::Read, this);
  connect(notifier_, &QSocketNotifier::activated, this, &SignalWatcher::OnReadable);
  struct sigaction sa{};
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  ::sigaction(SIGINT, &sa, nullptr);
  ::sigaction(SIGTERM, &sa, nullptr);
  ::sigaction(SIGHUP, &sa, nullptr);
  ::sigaction(SIGUSR1, &sa, nullptr);
}

void SignalWatcher::SetReportHandler(std::function<void()> report) {
  if (report_thread_.joinable() || !report) return;
  if (::socketpair(AF_UNIX, SOCK_STREAM, 0, g_report_fd) != 0) return;
  report_ = std::move(report);
  report_thread_ = std::thread([this] {
    unsigned char b = 0;
    while (::read(g_report_fd[1], &b, 1) == 1 && b == SIGUSR1) report_();
  });
  g_report_thread = true;
}

SignalWatcher::~SignalWatcher() {
  ::signal(SIGINT, SIG_DFL);
  ::signal(SIGTERM, SIG_DFL);
  ::signal(SIGHUP, SIG_DFL);
  ::signal(SIGUSR1, SIG_DFL);
  if (report_thread_.joinable()) {
    g_report_thread = false;
    const unsigned char stop = 0;
    ssize_t r = ::write(g_report_fd[0], &stop, 1);
    (void)r;
    report_thread_.join();
    ::close(g_report_fd[0]);
    ::close(g_report_fd[1]);
    g_report_fd[0] = g_report_fd[1] = -1;
  }
  if (g_signal_fd[0] >= 0) {
    ::close(g_signal_fd[0]);
    ::close(g_signal_fd[1]);
    g_signal_fd[0] = g_signal_fd[1] = -1;
  }
}

void SignalWatcher::OnReadable() {
  // Every wake-up there is, then every signal that came: several of a kind
  // are handled once.
  unsigned char wakeups[256];
  while (::recv(g_signal_fd[1], wakeups, sizeof wakeups, MSG_DONTWAIT) > 0) {
  }
  const uint32_t pending = g_pending.exchange(0);
  auto came = [pending](int sig) { return (pending & (1u << sig)) != 0; };
  if (came(SIGHUP)) emit Save(SIGHUP);
  if (came(SIGUSR1)) emit Report(SIGUSR1);
  if (came(SIGTERM)) emit Terminate(SIGTERM);
  else if (came(SIGINT)) emit Terminate(SIGINT);
}

}  // namespace tallyhost
