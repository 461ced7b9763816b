// The headless listener killed (SIGKILL) fifty times while it works through
// a backlog of 20,000 datagrams waiting in its spool, each time at a point
// the test chose (TALLY_KILL_AT): after a statement, before a pass's commit
// or right after it. Once a last run has worked through the rest, every
// datagram is archived exactly once, in the order sent, every game holds
// exactly the score rows of its records, and the file is intact.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <filesystem>
#include <random>
#include <set>
#include <unordered_map>

#include "process_kit.h"
#include "score_table.h"
#include "test_env.h"

namespace datapath {
namespace {

using Datagrams = std::vector<std::vector<uint8_t>>;

constexpr int kKilled = 256 + SIGKILL;   // Child::Wait of a process ended by SIGKILL
constexpr size_t kBacklog = 20000;
constexpr int kGames = 4;
constexpr int kKillRuns = 50;

// Four games of one server, one score record a datagram, cut to kBacklog
// datagrams (the last game stays open); game[i] is the game of datagram i.
// Each datagram has a packet number of its own, so its bytes tell it apart
// from every other in Logs.
Datagrams Backlog(std::vector<int>* game) {
  Datagrams out;
  for (int g = 0; g < kGames; ++g) {
    auto d = Game("Killhost", 5100, 180, 4, true, 1 + 6000 * g);
    out.insert(out.end(), d.begin(), d.end());
    game->resize(out.size(), g);
  }
  out.resize(kBacklog);
  game->resize(kBacklog);
  return out;
}

// Sends `sent` to the listener while its database is held locked, fifty at a
// time, each batch once the spool holds the ones before it (so the socket's
// buffer never overflows, however slowly the listener runs); then ends it.
void SpoolWhileLocked(Listener& listener, int port, const std::string& db, const Datagrams& sent) {
  testkit::WriteLock lock(db);
  ASSERT_TRUE(listener.Start()) << listener.Output();
  const std::string spool = listener.SpoolFile(port);
  Sender sender(port);
  uint64_t bytes = kSpoolFileHeader;
  std::error_code ec;
  auto spooled = [&] { return std::filesystem::file_size(spool, ec) >= bytes && !ec; };
  for (size_t i = 0; i < sent.size(); ++i) {
    sender.Send(sent[i]);
    bytes += SpooledBytes(sent[i]);
    if (i % 50 != 49 && i + 1 != sent.size()) continue;
    ASSERT_TRUE(WaitFor(spooled, std::chrono::seconds(30), std::chrono::microseconds(200)))
        << "the spool holds " << std::filesystem::file_size(spool, ec) << " of " << bytes << " bytes";
  }
  EXPECT_GE(listener.Stop(), 0);
  EXPECT_EQ(listener.child().Wait(), 0) << listener.Output();
}

// Kill points for the runs: statement, commit and committed by turns, with
// counts drawn by a seeded generator. A pass of this backlog runs a few
// statements and one commit, and the counts leave every run some datagrams
// to store before it dies.
std::vector<std::string> KillPoints(unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> passes(5, 300), statements(60, 1000);
  std::vector<std::string> out;
  for (int i = 0; i < kKillRuns; ++i) {
    switch (i % 3) {
      case 0:
        out.push_back("statement:" + std::to_string(statements(rng)));
        break;
      case 1:
        out.push_back("commit:" + std::to_string(passes(rng)));
        break;
      default:
        out.push_back("committed:" + std::to_string(passes(rng)));
    }
  }
  return out;
}

// Every datagram of `sent` in Logs exactly once, and in the order sent.
void ExpectArchivedOnceInOrder(const std::string& db, const Datagrams& sent) {
  std::unordered_map<std::string, size_t> index;
  for (size_t i = 0; i < sent.size(); ++i) index[std::string(sent[i].begin(), sent[i].end())] = i;
  std::vector<int> times(sent.size());
  std::vector<size_t> order;
  long long strangers = 0;
  for (auto& row : testkit::SqlRows(db, "SELECT Log_Data FROM Logs ORDER BY Record")) {
    auto it = index.find(row[0]);
    if (it == index.end()) {
      ++strangers;
      continue;
    }
    ++times[it->second];
    order.push_back(it->second);
  }
  EXPECT_EQ(strangers, 0) << "rows of Logs that are no datagram sent";
  const auto missing = std::find(times.begin(), times.end(), 0);
  EXPECT_EQ(std::count(times.begin(), times.end(), 0), 0)
      << "datagrams not archived, the first: #" << missing - times.begin();
  const auto repeated = std::find_if(times.begin(), times.end(), [](int t) { return t > 1; });
  EXPECT_EQ(std::count_if(times.begin(), times.end(), [](int t) { return t > 1; }), 0)
      << "datagrams archived more than once, the first: #" << repeated - times.begin() << " ("
      << (repeated == times.end() ? 0 : *repeated) << " times)";
  if (order.size() == sent.size()) {
    EXPECT_TRUE(std::is_sorted(order.begin(), order.end())) << "not in the order sent";
  }
}

TEST(DataPathListenerKill, FiftyKillsWhileWorkingThroughASpoolStoreEveryDatagramOnce) {
  testkit::TempDir tmp;
  const std::string db = tmp.File("stats.db");
  CreateDatabase(db);
  const int port = FreeUdpPort();
  Listener listener(tmp.path(), {{port, SqliteCs(db, ";Busy Timeout=200")}}, {"TALLY_LOCK_BUDGET=3"});
  std::vector<int> game;
  const Datagrams sent = Backlog(&game);
  ASSERT_EQ(std::set<std::vector<uint8_t>>(sent.begin(), sent.end()).size(), kBacklog) << "two datagrams alike";

  SpoolWhileLocked(listener, port, db, sent);
  if (HasFatalFailure()) return;
  ASSERT_EQ(CountOf(db, "SELECT count(*) FROM Logs"), 0) << "stored while the database was locked";

  long long stored = 0;
  for (const std::string& at : KillPoints(20261210)) {
    SCOPED_TRACE("TALLY_KILL_AT=" + at);
    listener.Start({"TALLY_KILL_AT=" + at});   // it may be gone before its about line is read
    ASSERT_EQ(listener.child().Wait(std::chrono::seconds(60)), kKilled) << listener.Output();
    ASSERT_EQ(IntegrityCheck(db), "ok\n");
    const long long now = CountOf(db, "SELECT count(*) FROM Logs");
    EXPECT_GT(now, stored) << "the run stored nothing before it died";
    stored = now;
  }
  ASSERT_LT(stored, static_cast<long long>(kBacklog)) << "nothing was left for the last run";

  ASSERT_TRUE(listener.Start()) << listener.Output();
  ASSERT_TRUE(WaitFor([&] { return CountOf(db, "SELECT count(*) FROM Logs") >= static_cast<long long>(kBacklog); },
                      std::chrono::seconds(120), std::chrono::milliseconds(10)))
      << "stored " << CountOf(db, "SELECT count(*) FROM Logs") << " of " << kBacklog;
  // Nothing is left in the spool when it ends (it would say what waits).
  EXPECT_GE(listener.Stop(), 0);
  const std::string all = listener.Output();
  const std::string last_run = all.substr(all.rfind("UDP listener"));
  EXPECT_EQ(last_run.find("wait in the spool"), std::string::npos) << last_run;
  EXPECT_EQ(listener.Output().find("Processing failed"), std::string::npos) << listener.Output();

  EXPECT_EQ(IntegrityCheck(db), "ok\n");
  ExpectArchivedOnceInOrder(db, sent);
  std::vector<long long> records(kGames);
  for (size_t i = 0; i < sent.size(); ++i) records[static_cast<size_t>(game[i])] += ScoreRecords(sent[i]);
  const auto games = testkit::SqlRows(db, "SELECT Record FROM Games ORDER BY Record");
  ASSERT_EQ(games.size(), static_cast<size_t>(kGames));
  for (int g = 0; g < kGames; ++g) {
    const std::string table = scoretable::TableNameOf(std::stoll(games[static_cast<size_t>(g)][0]));
    EXPECT_EQ(CountOf(db, "SELECT count(*) FROM " + table), records[static_cast<size_t>(g)]) << "game " << g;
  }
  EXPECT_EQ(CountOf(db, "SELECT count(*) FROM " + std::string(scoretable::kSharedTable)), 0);
}

}  // namespace
}  // namespace datapath
