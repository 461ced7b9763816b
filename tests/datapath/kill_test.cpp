// tallyfeed killed with SIGKILL at random moments of a two-game feed: the
// file stays intact, the datagram being processed is stored whole or not at
// all, and feeding the rest afterwards gives exactly the rows of a run that
// was never interrupted.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <random>
#include <set>

#include "process_kit.h"
#include "test_env.h"

namespace datapath {
namespace {

// Logs_Games links a datagram to its game when the pass looks the game up in
// the database: for a program's first datagram of a server and at each new
// game. A feed killed and fed again so links one datagram more than one
// uninterrupted run; its links are checked against the reference's (one run
// per datagram, every one linked) as (Log, Game) pairs, each at most once.
std::set<std::string> LinkPairs(const std::string& db) {
  std::set<std::string> out;
  for (auto& row : testkit::SqlRows(db, "SELECT Log, Game FROM Logs_Games")) out.insert(row[0] + "|" + row[1]);
  return out;
}

void ExpectLinksWithin(const std::string& db, const std::set<std::string>& all) {
  for (const std::string& pair : LinkPairs(db)) EXPECT_TRUE(all.count(pair)) << "Log|Game " << pair;
  EXPECT_EQ(CountOf(db, "SELECT count(*) FROM (SELECT DISTINCT Log, Game FROM Logs_Games)"),
            CountOf(db, "SELECT count(*) FROM Logs_Games"));
}

std::map<std::string, long long> CountsWithoutLinks(const std::string& db) {
  auto counts = Counts(db);
  counts.erase("Logs_Games");
  return counts;
}

// Every table but Logs_Games as in `want`, named when it differs.
void ExpectSameRows(const std::string& db, std::map<std::string, std::vector<std::string>> want) {
  auto got = Dump(db);
  got.erase("Logs_Games");
  want.erase("Logs_Games");
  ASSERT_EQ(got.size(), want.size());
  for (const auto& [name, rows] : want)
    EXPECT_TRUE(got[name] == rows) << name << ": " << got[name].size() << " rows, " << rows.size() << " wanted";
}

// Waits until a program's process log has its first line (the program has
// started its first pass), at most ten seconds.
void WaitForFirstLine(const std::string& log) {
  std::error_code ec;
  WaitFor([&] { return std::filesystem::file_size(log, ec) > 0 && !ec; }, std::chrono::seconds(10),
          std::chrono::microseconds(200));
}

TEST(DataPathKill, AKilledFeedLeavesWholeDatagramsAndRefeedingCompletesTheGame) {
  testkit::TempDir tmp;
  auto datagrams = Game("Killsrv", 300, 1024, 8, true, 1);
  auto second = Game("Killsrv", 200, 1024, 6, true, 500);   // the next game of the server
  datagrams.insert(datagrams.end(), second.begin(), second.end());
  const auto files = WriteDatagrams(tmp.File("in"), "d", datagrams);
  const size_t n = files.size();
  const std::string empty = tmp.File("empty.db");
  CreateDatabase(empty);
  // tallyfeed storing files[from, to) into `db`, its output in `out`, its process log in <out>.log.
  auto feed = [&](const std::string& db, size_t from, size_t to, const std::string& out) {
    const auto first = files.begin() + static_cast<long>(from);
    return StartFeed(out + ".log", SqliteCs(db), {first, first + static_cast<long>(to - from)}, out);
  };

  // Reference: one datagram per run, the counts after each.
  const std::string ref = tmp.File("ref.db");
  std::filesystem::copy_file(empty, ref);
  std::vector<std::map<std::string, long long>> after = {CountsWithoutLinks(ref)};
  for (size_t i = 0; i < n; ++i) {
    ASSERT_EQ(feed(ref, i, i + 1, tmp.File("ref.txt")).Wait(), 0) << testkit::ReadFile(tmp.File("ref.txt"));
    after.push_back(CountsWithoutLinks(ref));
    ASSERT_EQ(after.back()["Logs"], static_cast<long long>(i + 1));
  }
  const auto ref_rows = Dump(ref);
  const auto ref_links = LinkPairs(ref);

  // How long one uninterrupted run stores datagrams (from its first process
  // log line on, not counting the program's start-up), to spread the kills over.
  const std::string timing = tmp.File("timing.db");
  std::filesystem::copy_file(empty, timing);
  Child run = feed(timing, 0, n, tmp.File("timing.txt"));
  WaitForFirstLine(tmp.File("timing.txt.log"));
  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(run.Wait(), 0);
  const std::chrono::duration<double, std::milli> run_ms = std::chrono::steady_clock::now() - start;
  ExpectSameRows(timing, ref_rows);   // all in one run as one per run
  ExpectLinksWithin(timing, ref_links);

  std::mt19937 rng(20261207);
  std::uniform_real_distribution<double> when(0, run_ms.count());
  int mid_feed = 0;
  for (int kill = 0; kill < 55; ++kill) {
    SCOPED_TRACE("kill " + std::to_string(kill));
    const std::string db = tmp.File("k") + std::to_string(kill) + ".db", out = db + ".txt";
    std::filesystem::copy_file(empty, db);
    Child child = feed(db, 0, n, out);
    WaitForFirstLine(out + ".log");
    std::this_thread::sleep_for(std::chrono::microseconds(static_cast<long>(when(rng) * 1000)));
    child.Signal(SIGKILL);
    child.Wait();

    ASSERT_EQ(IntegrityCheck(db), "ok\n");
    const auto counts = CountsWithoutLinks(db);
    const long long stored = counts.at("Logs");
    ASSERT_GE(stored, 0);
    ASSERT_LE(stored, static_cast<long long>(n));
    if (stored > 0 && stored < static_cast<long long>(n)) ++mid_feed;
    // Every table holds exactly the rows of the first `stored` datagrams.
    EXPECT_EQ(counts, after[static_cast<size_t>(stored)]) << stored << " datagrams stored";
    ExpectLinksWithin(db, ref_links);
    if (stored < static_cast<long long>(n)) {
      ASSERT_EQ(feed(db, static_cast<size_t>(stored), n, out + ".refeed").Wait(), 0)
          << testkit::ReadFile(out + ".refeed");
    }
    ASSERT_EQ(IntegrityCheck(db), "ok\n");
    SCOPED_TRACE(std::to_string(stored) + " datagrams stored before the kill");
    ExpectSameRows(db, ref_rows);
    ExpectLinksWithin(db, ref_links);
    for (const char* suffix : {"", "-wal", "-shm"}) std::filesystem::remove(db + suffix);
  }
  // Many kills fell in the middle of the feed, not all before or after it.
  EXPECT_GE(mid_feed, 10);
}

}  // namespace
}  // namespace datapath
