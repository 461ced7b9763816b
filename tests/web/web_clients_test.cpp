// tallyweb among hostile clients, over loopback: many slow and idle
// connections from one address do not keep another client waiting.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "web_fixture.h"

namespace {

int ConnectFrom(const char* from, int port) {
  const int s = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  ::inet_pton(AF_INET, from, &a.sin_addr);
  ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
  a.sin_port = htons(static_cast<uint16_t>(port));
  ::inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
  if (::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::close(s);
    return -1;
  }
  return s;
}

// Everything until the server closes (a minute at most).
std::string ReadAll(int s) {
  timeval minute{60, 0};
  ::setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &minute, sizeof minute);
  std::string got;
  char buf[4096];
  ssize_t n;
  while ((n = ::recv(s, buf, sizeof buf, 0)) > 0) got.append(buf, static_cast<size_t>(n));
  return got;
}

TEST(WebClients, SlowAndIdleConnectionsFromOneAddressLeaveOthersServed) {
  testkit::TempDir dir;
  webtest::Web web(webtest::Sqlite(webtest::HandWorkedDatabase(dir.path(), false)), dir.File("summaries.db"), 60);
  std::vector<int> held;
  for (int i = 0; i < 300; ++i) {
    const int s = ConnectFrom("127.0.0.1", web.port());
    ASSERT_GE(s, 0) << i;
    // The first 100 begin a request and stop in the middle of its head.
    if (i < 100) ::send(s, "GET /players HTTP/1.1\r\nHost: x\r\nX-Slow: ", 40, MSG_NOSIGNAL);
    held.push_back(s);
  }
  for (int round = 0; round < 20; ++round) {
    const int s = ConnectFrom("127.0.0.2", web.port());
    ASSERT_GE(s, 0);
    const std::string request = "GET /api/players HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n";
    ::send(s, request.data(), request.size(), MSG_NOSIGNAL);
    const std::string got = ReadAll(s);
    ::close(s);
    EXPECT_EQ(got.rfind("HTTP/1.1 200", 0), 0u) << got.substr(0, 200);
  }
  // Beyond the limit of one address the rest were answered 503; the ones
  // let in are let go when idle or past their head's deadline.
  int refused = 0, let_go = 0;
  for (int s : held) {
    const std::string got = ReadAll(s);
    if (got.rfind("HTTP/1.1 503", 0) == 0) ++refused;
    else if (got.find("HTTP/1.1 200") == std::string::npos) ++let_go;
    ::close(s);
  }
  EXPECT_EQ(refused + let_go, 300);
  EXPECT_GE(refused, 250);
  EXPECT_TRUE(web.running());
}

}  // namespace
