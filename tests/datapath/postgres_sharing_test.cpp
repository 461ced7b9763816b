// Headless listeners writing PostgreSQL. Three, each with a port of its own
// and two game servers sending to it, writing one database at full speed:
// every datagram archived once, no Record twice in any table, and every
// server's games and score rows as when its datagrams are stored alone. One
// whose server is stopped for a while.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <set>

#include "pg_server.h"
#include "process_kit.h"
#include "schema.h"
#include "test_env.h"

namespace datapath {
namespace {

using Rows = std::vector<std::vector<std::string>>;

const char* const kTables[] = {"Cvars", "Games", "Games_Cvars", "Games_Maps", "Games_Players_Cvars",
                               "Games_Players_Teams", "Logs", "Logs_Games", "Maps", "Players", "Scores",
                               "Servers", "Servers_Cvars", "Servers_Games", "Teams", "Types", "Weapons"};

// Reads one database of the test run's server; references are followed to
// what they name, so that two databases numbering their rows differently
// compare equal when they hold the same.
class Reader {
 public:
  Reader(const testkit::PgServer& server, std::string db) : server_(server), db_(std::move(db)) {
    for (const char* t : {"Players", "Types", "Weapons", "Teams", "Maps"}) {
      const std::string column = std::string(t).substr(0, std::string(t).size() - 1);
      for (auto& r : Get("select Record, " + column + " from " + t)) names_[t][r[0]] = r[1];
    }
    for (auto& r : Get("select Record, Cvar, Val from Cvars")) names_["Cvars"][r[0]] = r[1] + "=" + r[2];
  }

  Rows Get(const std::string& sql) const { return testkit::PgRows(server_, db_, sql); }

  // A server's row, then per game (in the order begun): the game, its maps,
  // variables, players' teams and variables, its datagrams, and its score
  // table's rows with names for the references.
  std::vector<std::string> History(const std::string& server_name) const {
    std::vector<std::string> out;
    Rows servers = Get("select Record, Server_IP, Server_Port, Packet_Number from Servers where Server_Name = '" +
                       server_name + "'");
    if (servers.size() != 1) return {"servers named " + server_name + ": " + std::to_string(servers.size())};
    out.push_back("server " + Join(servers[0], 1));
    for (auto& g : Get("select g.Record, g.StdLog_Ver, g.Patch_Name, g.Game_Start_Date_Time, "
                       "g.Game_End_Date_Time, g.Game_Flags from Servers_Games sg, Games g "
                       "where sg.Server = " + servers[0][0] + " and g.Record = sg.Game order by g.Record")) {
      const std::string& game = g[0];
      out.push_back("game " + Join(g, 1));
      for (auto& r : Get("select Map from Games_Maps where Game = " + game + " order by Record"))
        out.push_back("map " + Name("Maps", r[0]));
      // A new game takes its server's variables in the order of their
      // Cvars rows, which other servers' values made before interleave.
      std::vector<std::string> cvars;
      for (auto& r : Get("select Cvar from Games_Cvars where Game = " + game)) cvars.push_back("cvar " + Name("Cvars", r[0]));
      std::sort(cvars.begin(), cvars.end());
      out.insert(out.end(), cvars.begin(), cvars.end());
      for (auto& r : Get("select Player, Team from Games_Players_Teams where Game = " + game + " order by Record"))
        out.push_back("team " + Name("Players", r[0]) + " " + Name("Teams", r[1]));
      for (auto& r : Get("select Player, Cvar from Games_Players_Cvars where Game = " + game + " order by Record"))
        out.push_back("player cvar " + Name("Players", r[0]) + " " + Name("Cvars", r[1]));
      for (auto& r : Get("select l.Log_Data from Logs_Games lg, Logs l where lg.Game = " + game +
                         " and l.Record = lg.Log order by lg.Record"))
        out.push_back("log " + r[0]);
      for (auto& r : Get("select Record, Killer, Victim, Type, Weapon, Score, Offset from Scores_000000" + game +
                         " order by Record"))
        out.push_back("score " + r[0] + " " + Name("Players", r[1]) + " " + Name("Players", r[2]) + " " +
                      Name("Types", r[3]) + " " + Name("Weapons", r[4]) + " " + r[5] + " " + r[6]);
    }
    return out;
  }

 private:
  static std::string Join(const std::vector<std::string>& row, size_t from) {
    std::string s;
    for (size_t i = from; i < row.size(); ++i) s += row[i] + "|";
    return s;
  }
  std::string Name(const std::string& table, const std::string& record) const {
    if (record == "0") return "-";
    auto t = names_.find(table);
    if (t == names_.end()) return "?" + table + record;
    auto it = t->second.find(record);
    return it != t->second.end() ? it->second : "?" + table + record;
  }

  const testkit::PgServer& server_;
  std::string db_;
  std::map<std::string, std::map<std::string, std::string>> names_;
};

TEST(DataPathPostgres, ThreeListenersWithTwoServersEachShareOneDatabase) {
  testkit::TempDir tmp;
  testkit::PgServer& server = testkit::PgServer::Shared();
  const std::string shared = server.CreateDatabase("shared");
  const std::string cs = server.ConnectionString(shared);

  // Six servers, two per listener; each sends an ended game and the start
  // of a second one.
  std::vector<std::string> names;
  std::vector<std::vector<std::vector<uint8_t>>> streams;
  for (int s = 0; s < 6; ++s) {
    names.push_back("Shared " + std::to_string(s));
    auto first = Game(names.back(), 150 + 20 * s, 500, 4 + s, true);
    auto second = Game(names.back(), 60, 500, 3, false, static_cast<uint32_t>(first.size() + 1));
    first.insert(first.end(), second.begin(), second.end());
    streams.push_back(std::move(first));
  }
  std::vector<std::unique_ptr<Listener>> listeners;
  std::vector<std::unique_ptr<Sender>> senders;
  // Started together on the empty database: each makes the tables the
  // others have not made yet, without a prompt.
  for (int l = 0; l < 3; ++l) {
    const int port = FreeUdpPort();
    listeners.push_back(std::make_unique<Listener>(tmp.File("l" + std::to_string(l)),
                                                   std::vector<Listener::Entry>{{port, cs}}));
    listeners.back()->Launch();
    senders.push_back(std::make_unique<Sender>(port));
    senders.push_back(std::make_unique<Sender>(port));
  }
  for (auto& l : listeners) ASSERT_TRUE(l->WaitStarted()) << l->Output();
  std::multiset<std::string> sent;
  size_t longest = 0;
  for (auto& stream : streams) longest = std::max(longest, stream.size());
  for (size_t i = 0; i < longest; ++i) {   // interleaved, no pause
    for (size_t s = 0; s < streams.size(); ++s) {
      if (i >= streams[s].size()) continue;
      senders[s]->Send(streams[s][i]);
      sent.emplace(streams[s][i].begin(), streams[s][i].end());
    }
  }
  const long long total = static_cast<long long>(sent.size());
  auto count = [&] {
    Rows r = testkit::PgRows(server, shared, "select count(*) from Logs");
    return r.empty() ? -1 : std::atoll(r[0][0].c_str());
  };
  EXPECT_TRUE(WaitFor([&] { return count() >= total; }, std::chrono::minutes(4), std::chrono::milliseconds(200)))
      << count() << " of " << total;
  for (auto& l : listeners) {
    EXPECT_GE(l->Stop(), 0);
    const std::string out = l->Output();
    EXPECT_EQ(out.find("Processing failed"), std::string::npos) << out;
    EXPECT_EQ(out.find("already exists"), std::string::npos) << out;
    EXPECT_EQ(out.find("Record is Locked"), std::string::npos) << out;
  }

  Reader live(server, shared);
  // Every datagram archived, once.
  std::multiset<std::string> archived;
  for (auto& r : live.Get("select Log_Data from Logs")) archived.insert(r[0]);
  EXPECT_EQ(archived.size(), sent.size());
  EXPECT_TRUE(archived == sent);
  // Every name once in its dictionary, though the servers met them at once.
  for (const char* t : {"Players", "Types", "Weapons", "Teams", "Maps"}) {
    const std::string column = std::string(t).substr(0, std::string(t).size() - 1);
    Rows r = live.Get(std::string("select count(*), count(distinct ") + column + ") from " + t);
    ASSERT_EQ(r.size(), 1u) << t;
    EXPECT_EQ(r[0][0], r[0][1]) << t;
  }
  Rows cvars = live.Get("select count(*), count(distinct (Cvar, Val)) from Cvars");
  EXPECT_EQ(cvars[0][0], cvars[0][1]);
  // No Record twice in any table, the games' score tables included.
  std::vector<std::string> tables(std::begin(kTables), std::end(kTables));
  for (auto& r : live.Get("select Record from Games")) tables.push_back("Scores_000000" + r[0]);
  EXPECT_EQ(tables.size(), 17u + 12u);
  for (const std::string& t : tables) {
    Rows r = live.Get("select count(*), count(distinct Record) from " + t);
    ASSERT_EQ(r.size(), 1u) << t;
    EXPECT_EQ(r[0][0], r[0][1]) << t;
  }

  // Each server's datagrams stored alone, one server after another, into a
  // database of their own.
  const std::string alone = server.CreateDatabase("alone");
  const std::string alone_cs = server.ConnectionString(alone);
  std::vector<std::string> argv = {Bin("tallyfeed"), "--create-tables", "--log-path", tmp.File("alone.log"),
                                   alone_cs};
  for (size_t s = 0; s < streams.size(); ++s) {
    auto files = WriteDatagrams(tmp.File("alone"), "s" + std::to_string(s) + "_", streams[s]);
    argv.insert(argv.end(), files.begin(), files.end());
  }
  ASSERT_EQ(Child(argv, tmp.File("alone.txt")).Wait(), 0) << testkit::ReadFile(tmp.File("alone.txt"));
  Reader reference(server, alone);
  for (const std::string& name : names) {
    const auto expected = reference.History(name);
    EXPECT_GT(expected.size(), 100u) << name;
    EXPECT_EQ(live.History(name), expected) << name;
  }
  server.DropDatabase(shared);
  server.DropDatabase(alone);
}

// A headless listener storing into PostgreSQL while the server is stopped
// for 20 s, in immediate mode (as by a crash), right after the first ten
// datagrams are stored: every datagram stored, none twice. The server
// commits asynchronously and keeps the log of such commits in memory for
// seconds, so the listener's own commits must not be asynchronous (they
// were: the last datagrams before the stop vanished with the server's memory
// after the spool had let them go).
TEST(DataPathPostgres, ServerStoppedForTwentySecondsLosesAndDoublesNothing) {
  testkit::TempDir tmp;
  testkit::PgServer server;   // a private one: it is stopped and started
  server.HoldAsynchronousCommits();
  const std::string db = server.CreateDatabase("outage");
  const std::string cs = server.ConnectionString(db);
  schema::CreateDatabaseTables(cs);
  const int port = FreeUdpPort();
  Listener listener(tmp.path(), {{port, cs}});
  ASSERT_TRUE(listener.Start());
  auto packet = [](uint32_t n) {
    datagram::Builder b;
    b.server_vars = {{"hostname", "Outage"}, {"$HOST_IP$", "192.0.2.9"}, {"port", "27960"}};
    b.packet_number = n;
    b.records = {"Ann\tBob\tKill\tRail\t1\t" + std::to_string(n)};
    return b.Build();
  };
  auto stored = [&] {
    Rows rows = testkit::PgRows(server, db, "select count(*), count(distinct Record) from Logs");
    return rows.empty() ? std::string("?") : rows[0][0] + "|" + rows[0][1];
  };
  Sender sender(port);
  uint32_t n = 0;
  for (; n < 10; ++n) sender.Send(packet(n + 1));
  ASSERT_TRUE(WaitFor([&] { return stored() == "10|10"; }, std::chrono::seconds(60))) << stored();
  server.Pause();
  for (int second = 0; second < 20; ++second) {   // datagrams keep arriving while it is down
    sender.Send(packet(++n));
    std::this_thread::sleep_for(std::chrono::seconds(1));
  }
  server.Resume();
  for (int k = 0; k < 10; ++k) sender.Send(packet(++n));
  EXPECT_TRUE(WaitFor([&] { return stored() == "40|40"; }, std::chrono::seconds(150))) << stored();
  listener.Stop();
  EXPECT_EQ(stored(), "40|40") << listener.Output();
  std::vector<int> order, expected;   // the packet numbers in Record order
  for (auto& r : testkit::PgRows(server, db, "select Log_Data from Logs order by Record"))
    order.push_back(std::atoi(r[0].c_str() + r[0].rfind('\t') + 1));
  for (int k = 1; k <= 40; ++k) expected.push_back(k);
  EXPECT_EQ(order, expected);
  // Every packet's score row once.
  EXPECT_EQ(testkit::PgRows(server, db, "select count(*) from Scores_0000001"), (Rows{{"40"}}));
  EXPECT_EQ(testkit::PgRows(server, db, "select Packet_Number from Servers"), (Rows{{"40"}}));
}

}  // namespace
}  // namespace datapath
