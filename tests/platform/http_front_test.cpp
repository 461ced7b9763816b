// The HTTP front over loopback: pipelined requests, a deadline for a
// request's head, a limit of connections per client, a burst.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "http_front.h"
#include "test_env.h"

namespace {

using namespace std::chrono_literals;

class HttpFront : public ::testing::Test {
 protected:
  void Start(http_front::Limits limits, int keep_alive_seconds = 30, size_t workers = 64) {
    server_ = std::make_unique<http_front::FrontServer>(limits);
    server_->new_task_queue = [workers] { return new httplib::ThreadPool(workers); };
    server_->set_keep_alive_timeout(keep_alive_seconds);
    server_->Get("/last", [](const httplib::Request&, httplib::Response& res) {
      http_front::CloseAfterAnswer(res);
      res.set_content("last", "text/plain");
    });
    server_->Get(R"(/(\w+))", [](const httplib::Request& req, httplib::Response& res) {
      res.set_content("page " + req.matches[1].str(), "text/plain");
    });
    port_ = server_->Bind("127.0.0.1", 0);
    ASSERT_GT(port_, 0);
    thread_ = std::thread([this] { server_->listen_after_bind(); });
    ASSERT_TRUE(testkit::Eventually([&] { return server_->is_running(); }));
  }
  void TearDown() override {
    if (!server_) return;
    server_->stop();
    if (thread_.joinable()) thread_.join();
  }

  // A connected socket, from `from` (any loopback address).
  int Connect(const char* from = "127.0.0.1") {
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    ::inet_pton(AF_INET, from, &a.sin_addr);
    EXPECT_EQ(::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    a.sin_port = htons(static_cast<uint16_t>(port_));
    ::inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
    EXPECT_EQ(::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    return s;
  }
  static void Send(int s, const std::string& bytes) {
    ASSERT_EQ(::send(s, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
  }
  // Everything the server sends until it closes, or until `enough` is in
  // what came (a bound of a minute against a server that never answers).
  static std::string Receive(int s, const std::string& enough = "") {
    std::string got;
    const auto until = std::chrono::steady_clock::now() + 60s;
    while (std::chrono::steady_clock::now() < until && (enough.empty() || got.find(enough) == std::string::npos)) {
      pollfd p{s, POLLIN, 0};
      if (::poll(&p, 1, 100) <= 0) continue;
      char buf[4096];
      const ssize_t n = ::recv(s, buf, sizeof buf, 0);
      if (n <= 0) break;
      got.append(buf, static_cast<size_t>(n));
    }
    return got;
  }
  static size_t Count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
  }

  std::unique_ptr<http_front::FrontServer> server_;
  std::thread thread_;
  int port_ = 0;
};

// Pipelined requests are answered in order. A handler that asks for it ends
// its connection after its answer, which says so; requests already sent
// after it go unanswered, and the next connection is served as usual.
TEST_F(HttpFront, AnAnswerThatClosesItsConnectionIsTheLastOnIt) {
  Start({}, 30, 1);   // one worker: the next connections meet the same one
  const int s = Connect();
  Send(s, "GET /a HTTP/1.1\r\nHost: x\r\n\r\nGET /last HTTP/1.1\r\nHost: x\r\n\r\n"
          "GET /b HTTP/1.1\r\nHost: x\r\n\r\n");
  const std::string got = Receive(s);   // until the server closes
  ::close(s);
  EXPECT_EQ(Count(got, "HTTP/1.1 200"), 2u) << got;
  ASSERT_NE(got.find("page a"), std::string::npos) << got;
  EXPECT_NE(got.find("Connection: close"), std::string::npos) << got;
  EXPECT_LT(got.find("page a"), got.find("last"));
  EXPECT_EQ(got.find("page b"), std::string::npos) << got;
  for (int i = 0; i < 3; ++i) {   // the worker that served it keeps its next connections open
    const int t = Connect();
    Send(t, "GET /c HTTP/1.1\r\nHost: x\r\n\r\nGET /d HTTP/1.1\r\nHost: x\r\n\r\n");
    const std::string two = Receive(t, "page d");
    ::close(t);
    ASSERT_NE(two.find("page c"), std::string::npos) << two;
    EXPECT_LT(two.find("page c"), two.find("page d")) << two;
  }
}

// A client that sends its head a byte at a time is let go at the head's
// deadline, however steadily it sends; one that sent its head in time is
// answered after a pause between requests.
TEST_F(HttpFront, AHeadTrickledPastItsDeadlineEndsTheConnection) {
  http_front::Limits limits;
  limits.head_deadline = 300ms;
  Start(limits);
  const int s = Connect();
  const std::string head = "GET /a HTTP/1.1\r\nHost: x\r\n" + std::string(4000, 'X');
  bool closed = false;
  for (size_t i = 0; i < head.size() && !closed; ++i) {
    if (::send(s, &head[i], 1, MSG_NOSIGNAL) != 1) closed = true;
    pollfd p{s, POLLIN, 0};
    if (::poll(&p, 1, 25) > 0) {
      // What the server says (400, or nothing) before it closes.
      char buf[512];
      const ssize_t n = ::recv(s, buf, sizeof buf, MSG_DONTWAIT);
      closed = n == 0;
      if (n > 0) {
        EXPECT_EQ(std::string(buf, static_cast<size_t>(n)).find("page a"), std::string::npos);
      }
    }
  }
  ::close(s);
  EXPECT_TRUE(closed) << "the trickling client was never let go";

  const int t = Connect();
  Send(t, "GET /a HTTP/1.1\r\nHost: x\r\n\r\n");
  EXPECT_NE(Receive(t, "page a").find("page a"), std::string::npos);
  Send(t, "GET /b HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");   // the deadline counts from this request's start
  EXPECT_NE(Receive(t).find("page b"), std::string::npos);
  ::close(t);
}

// Connections beyond the limit from one address are answered 503 at once;
// another address is served meanwhile, and a place given back is taken again.
TEST_F(HttpFront, ConnectionsBeyondTheLimitOfOneClientAreRefusedAtOnce) {
  http_front::Limits limits;
  limits.per_client = 3;
  Start(limits);
  std::vector<int> held;
  for (int i = 0; i < 3; ++i) held.push_back(Connect());
  ASSERT_TRUE(testkit::Eventually([&] { return server_->OpenFrom("127.0.0.1") == 3; }));
  std::vector<int> refused;
  for (int i = 0; i < 50; ++i) refused.push_back(Connect());
  for (int s : refused) {
    const std::string got = Receive(s);
    EXPECT_EQ(got.rfind("HTTP/1.1 503", 0), 0u) << got;
    EXPECT_NE(got.find("too many connections"), std::string::npos);
    ::close(s);
  }
  const int other = Connect("127.0.0.2");
  Send(other, "GET /z HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
  EXPECT_NE(Receive(other).find("page z"), std::string::npos);
  ::close(other);

  ::close(held.back());
  held.pop_back();
  ASSERT_TRUE(testkit::Eventually([&] { return server_->OpenFrom("127.0.0.1") == 2; }));
  const int again = Connect();
  Send(again, "GET /y HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
  EXPECT_NE(Receive(again).find("page y"), std::string::npos);
  ::close(again);
  for (int s : held) ::close(s);
}

// 1,000 requests, 500 connections at a time: every one is answered.
TEST_F(HttpFront, ABurstOfConnectionsIsAnsweredWhole) {
  http_front::Limits limits;
  limits.per_client = 0;
  Start(limits, 2);
  int answered = 0;
  for (int round = 0; round < 2; ++round) {
    std::vector<int> socks;
    for (int i = 0; i < 500; ++i) socks.push_back(Connect());
    for (int s : socks) Send(s, "GET /burst HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
    for (int s : socks) {
      const std::string got = Receive(s);
      if (got.rfind("HTTP/1.1 200", 0) == 0 || got.rfind("HTTP/1.1 503", 0) == 0) ++answered;
      ::close(s);
    }
  }
  EXPECT_EQ(answered, 1000);
}

}  // namespace
