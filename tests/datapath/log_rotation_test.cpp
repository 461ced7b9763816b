// The headless listener's Process.log and Logout.log rotated as logrotate
// does (renamed away, then SIGHUP) over and over while datagrams arrive:
// every pass's STARTED and COMPLETED line and every raw datagram is in
// exactly one file, whole, and what a pass writes after a rotation lands
// in the file made anew at the path.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <regex>
#include <set>

#include "process_kit.h"
#include "test_env.h"

namespace datapath {
namespace {

using Datagram = std::vector<uint8_t>;

// A UDP socket of its own per datagram, so that its source port (the
// ConnectedPort of the process log) names the pass.
class OwnPortSender {
 public:
  OwnPortSender() : fd_(::socket(AF_INET, SOCK_DGRAM, 0)) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) == 0)
      port_ = ntohs(a.sin_port);
  }
  ~OwnPortSender() { ::close(fd_); }
  OwnPortSender(const OwnPortSender&) = delete;
  OwnPortSender& operator=(const OwnPortSender&) = delete;
  int port() const { return port_; }
  void Send(int to, const Datagram& bytes) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(to));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a);
  }

 private:
  int fd_;
  int port_ = 0;
};

struct PassLine {
  std::string file;
  long number;
};

// The process log lines of every file: STARTED and COMPLETED per sender
// port. `strict` fails the test on anything but whole, well-formed lines.
struct ProcessLines {
  std::map<int, std::vector<PassLine>> started, completed;
  size_t count = 0;
};

ProcessLines ReadProcessLogs(const std::vector<std::string>& files, int listen_port, bool strict) {
  static const std::regex line(
      "Process# (\\d+) (STARTED|COMPLETED) [0-9: -]+;ListenPort=(\\d+);ConnectedIPAddress=127\\.0\\.0\\.1;"
      "ConnectedPort=(\\d+);Database=Provider=SQLite;Data Source=.*stats\\.db");
  ProcessLines out;
  for (const std::string& f : files) {
    const std::string text = testkit::Exists(f) ? testkit::ReadFile(f) : "";
    if (strict && !text.empty()) {
      EXPECT_EQ(text.substr(text.size() - 2), "\r\n") << f << " ends inside a line";
    }
    size_t at = 0;
    for (size_t end; (end = text.find("\r\n", at)) != std::string::npos; at = end + 2) {
      const std::string l = text.substr(at, end - at);
      std::smatch m;
      if (!std::regex_match(l, m, line) || std::stoi(m[3]) != listen_port) {
        if (strict) ADD_FAILURE() << f << ": a line cut or foreign: \"" << l << "\"";
        continue;
      }
      auto& into = m[2] == "STARTED" ? out.started : out.completed;
      into[std::stoi(m[4])].push_back({f, std::stol(m[1])});
      ++out.count;
    }
  }
  return out;
}

// The raw log files cut into datagrams (each the datagram's bytes and CR LF);
// the file of each datagram sent, by index. Anything else fails the test.
std::map<size_t, std::vector<std::string>> ReadRawLogs(const std::vector<std::string>& files,
                                                       const std::vector<Datagram>& sent) {
  std::map<std::string, size_t> by_header;
  for (size_t i = 0; i < sent.size(); ++i) by_header[std::string(sent[i].begin(), sent[i].begin() + 20)] = i;
  std::map<size_t, std::vector<std::string>> out;
  for (const std::string& f : files) {
    if (!testkit::Exists(f)) continue;
    const std::string text = testkit::ReadFile(f);
    for (size_t at = 0; at < text.size();) {
      auto it = by_header.find(text.substr(at, 20));
      const Datagram* d = it == by_header.end() ? nullptr : &sent[it->second];
      if (!d || text.compare(at, d->size(), std::string(d->begin(), d->end())) != 0 ||
          text.compare(at + d->size(), 2, "\r\n") != 0) {
        ADD_FAILURE() << f << ": no whole datagram at byte " << at;
        break;
      }
      out[it->second].push_back(f);
      at += d->size() + 2;
    }
  }
  return out;
}

TEST(DataPathLogRotation, LogsRenamedAwayAndSighupRepeatedlyKeepEveryLineOnceAndWhole) {
  constexpr int kRounds = 6;
  constexpr size_t kSettled = 4, kRacing = 8;   // per round: sent before, and around, the rotation
  testkit::TempDir tmp;
  const std::string db = tmp.File("stats.db");
  CreateDatabase(db);
  const int port = FreeUdpPort();
  Listener listener(tmp.path(), {{port, SqliteCs(db)}});
  listener.logout = "1";
  ASSERT_TRUE(listener.Start()) << listener.Output();

  std::vector<Datagram> sent = Game("Rotor", 1500, 500, 6, false, 1);
  const size_t total = kRounds * (kSettled + kRacing) + kSettled;
  ASSERT_GE(sent.size(), total);
  sent.resize(total);
  std::set<std::string> headers;
  for (const Datagram& d : sent) headers.insert(std::string(d.begin(), d.begin() + 20));
  ASSERT_EQ(headers.size(), total) << "two datagrams with one header";

  const std::string process_log = tmp.File("Process.log"), raw_log = tmp.File("Logout.log");
  std::vector<std::string> process_files = {process_log}, raw_files = {raw_log};
  std::vector<std::unique_ptr<OwnPortSender>> senders;
  std::vector<int> round_of(total, 0);   // the round whose rotation follows a settled datagram; 0: none
  size_t next = 0;
  auto send = [&](size_t n, int round) {
    for (size_t k = 0; k < n; ++k, ++next) {
      senders.push_back(std::make_unique<OwnPortSender>());
      ASSERT_NE(senders.back()->port(), 0);
      round_of[next] = round;
      senders.back()->Send(port, sent[next]);
    }
  };
  auto all_completed = [&] {
    return WaitFor([&] { return ReadProcessLogs(process_files, port, false).completed.size() >= next; },
                   std::chrono::seconds(60));
  };
  auto occurrences = [](const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
  };

  for (int r = 1; r <= kRounds; ++r) {
    send(kSettled, r);
    ASSERT_TRUE(all_completed()) << "round " << r << ": " << listener.Output();
    send(kRacing, 0);   // passes under way while the files are renamed
    for (auto [from, list] : {std::pair{&process_log, &process_files}, std::pair{&raw_log, &raw_files}}) {
      const std::string to = *from + "." + std::to_string(r);
      if (std::rename(from->c_str(), to.c_str()) == 0) list->push_back(to);
    }
    listener.child().Signal(SIGHUP);
    ASSERT_TRUE(WaitFor([&] { return occurrences(listener.Output(), "SIGHUP received") >= static_cast<size_t>(r); },
                        std::chrono::seconds(60)))
        << listener.Output();
    ASSERT_TRUE(all_completed()) << "round " << r << ": " << listener.Output();
  }
  send(kSettled, kRounds + 1);
  ASSERT_TRUE(all_completed()) << listener.Output();
  WaitStored(db, static_cast<long long>(total));
  EXPECT_GE(listener.Stop(), 0);
  EXPECT_EQ(listener.child().Wait(), 0) << listener.Output();

  // Where a datagram sent before round r's rotation must be: in the files
  // that rotation renamed, or, after the last, in the files at the paths.
  auto file_of = [&](const std::string& path, int round) {
    return round > kRounds ? path : path + "." + std::to_string(round);
  };
  const ProcessLines lines = ReadProcessLogs(process_files, port, true);
  const auto raw = ReadRawLogs(raw_files, sent);
  EXPECT_EQ(lines.count, 2 * total) << "lines that belong to no datagram sent";
  for (size_t i = 0; i < total; ++i) {
    SCOPED_TRACE("datagram " + std::to_string(i));
    const int p = senders[i]->port();
    const auto s = lines.started.find(p), c = lines.completed.find(p);
    ASSERT_TRUE(s != lines.started.end() && s->second.size() == 1) << "STARTED lines of port " << p;
    ASSERT_TRUE(c != lines.completed.end() && c->second.size() == 1) << "COMPLETED lines of port " << p;
    EXPECT_EQ(s->second[0].number, c->second[0].number);
    ASSERT_EQ(raw.count(i) ? raw.at(i).size() : 0u, 1u) << "raw log entries";
    if (round_of[i] != 0) {
      EXPECT_EQ(s->second[0].file, file_of(process_log, round_of[i]));
      EXPECT_EQ(c->second[0].file, file_of(process_log, round_of[i]));
      EXPECT_EQ(raw.at(i)[0], file_of(raw_log, round_of[i]));
    }
  }
  EXPECT_EQ(IntegrityCheck(db), "ok\n");
}

}  // namespace
}  // namespace datapath
