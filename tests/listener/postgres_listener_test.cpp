// Headless listeners storing into PostgreSQL: the server stopped for 20 s
// while datagrams arrive, then started again: every datagram stored, none
// twice.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "datagram_builder.h"
#include "listener_fixture.h"
#include "pg_server.h"
#include "schema.h"

namespace listenertest {
namespace {

datagram::Builder Packet(uint32_t n) {
  datagram::Builder b;
  b.server_vars = {{"hostname", "Outage"}, {"$HOST_IP$", "192.0.2.9"}, {"port", "27960"}};
  b.packet_number = n;
  b.records = {"Ann\tBob\tKill\tRail\t1\t" + std::to_string(n)};
  return b;
}

// The server is stopped in immediate mode, as by a crash, right after the
// first ten datagrams are stored; it commits asynchronously and keeps the
// log of such commits in memory for seconds, so the listener's own commits
// must not be asynchronous (they were: the last three datagrams before the
// stop vanished with the server's memory after the spool had let them go).
TEST(ListenerOnPostgres, ServerStoppedForTwentySecondsLosesAndDoublesNothing) {
  testkit::TempDir tmp;
  testkit::PgServer server;   // a private one: it is stopped and started
  server.HoldAsynchronousCommits();
  const std::string db = server.CreateDatabase("outage");
  const std::string cs = server.ConnectionString(db);
  schema::CreateDatabaseTables(cs);
  const int port = FreeUdpPort();
  const std::string folder = tmp.File("data/tallyhost");
  std::filesystem::create_directories(folder);
  testkit::WriteFile(folder + "/connections.cfg", "Port=" + std::to_string(port) + ",Database=" + cs + "\r\n");
  int out[2];
  ASSERT_EQ(::pipe(out), 0);
  const std::string bin = testkit::BinaryFolder() + "/tallyhost";
  pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(out[1], STDOUT_FILENO);
    if (!std::freopen((folder + "/stderr.log").c_str(), "w", stderr)) ::_exit(126);
    ::execl(bin.c_str(), bin.c_str(), "headless=1", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(out[1]);
  char c = 0;   // the about line is written when start-up is done
  while (::read(out[0], &c, 1) == 1 && c != '\n') {
  }
  auto stored = [&] {
    auto rows = testkit::PgRows(server, db, "select count(*), count(distinct Record) from Logs");
    return rows.empty() ? std::string("?") : rows[0][0] + "|" + rows[0][1];
  };
  uint32_t n = 0;
  for (; n < 10; ++n) SendDatagram(port, Packet(n + 1).Build());
  ASSERT_TRUE(WaitUntil([&] { return stored() == "10|10"; }, 60)) << stored();
  server.Pause();
  for (int second = 0; second < 20; ++second) {   // datagrams keep arriving while it is down
    SendDatagram(port, Packet(++n).Build());
    std::this_thread::sleep_for(std::chrono::seconds(1));
  }
  server.Resume();
  for (int k = 0; k < 10; ++k) SendDatagram(port, Packet(++n).Build());
  EXPECT_TRUE(WaitUntil([&] { return stored() == "40|40"; }, 150)) << stored();
  ::kill(pid, SIGTERM);
  int status = 0;
  ::waitpid(pid, &status, 0);
  ::close(out[0]);
  EXPECT_EQ(stored(), "40|40");
  if (stored() != "40|40") {   // what the listener said, for the failure's reader
    std::string err = testkit::ReadFile(folder + "/stderr.log");
    ADD_FAILURE() << err.substr(err.size() > 20000 ? err.size() - 20000 : 0);
  }
  std::vector<int> order, expected;   // the packet numbers in Record order
  for (auto& r : testkit::PgRows(server, db, "select Log_Data from Logs order by Record"))
    order.push_back(std::atoi(r[0].c_str() + r[0].rfind('\t') + 1));
  for (int k = 1; k <= 40; ++k) expected.push_back(k);
  EXPECT_EQ(order, expected);
  // Every packet's score row once.
  auto packets = testkit::PgRows(server, db, "select count(*) from Scores_0000001");
  ASSERT_EQ(packets.size(), 1u);
  EXPECT_EQ(packets[0][0], "40");
  EXPECT_EQ(testkit::PgRows(server, db, "select Packet_Number from Servers"),
            (std::vector<std::vector<std::string>>{{"40"}}));
}

}  // namespace
}  // namespace listenertest
