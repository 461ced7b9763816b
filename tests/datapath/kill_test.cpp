// tallyfeed killed with SIGKILL at points of a two-game feed that the test
// chooses (TALLY_KILL_AT: after a statement, before a pass's commit, after
// it): the file stays intact, the datagram being processed is stored whole
// or not at all, and feeding the rest afterwards gives exactly the rows of a
// run that was never interrupted.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <memory>
#include <random>
#include <set>

#include "process_kit.h"
#include "test_env.h"

namespace datapath {
namespace {

constexpr int kKilled = 256 + SIGKILL;   // Child::Wait of a process ended by SIGKILL

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

class DataPathKill : public ::testing::Test {
 protected:
  // The feed and its reference, made once for the suite: one datagram per
  // run, the counts after each.
  static void SetUpTestSuite() {
    tmp_ = std::make_unique<testkit::TempDir>();
    auto datagrams = Game("Killsrv", 300, 1024, 8, true, 1);
    auto second = Game("Killsrv", 200, 1024, 6, true, 500);   // the next game of the server
    datagrams.insert(datagrams.end(), second.begin(), second.end());
    files_ = WriteDatagrams(tmp_->File("in"), "d", datagrams);
    empty_ = tmp_->File("empty.db");
    CreateDatabase(empty_);
    const std::string ref = tmp_->File("ref.db");
    std::filesystem::copy_file(empty_, ref);
    after_ = {CountsWithoutLinks(ref)};
    for (size_t i = 0; i < files_.size(); ++i) {
      ASSERT_EQ(Feed(ref, i, i + 1, tmp_->File("ref.txt")).Wait(), 0) << testkit::ReadFile(tmp_->File("ref.txt"));
      after_.push_back(CountsWithoutLinks(ref));
      ASSERT_EQ(after_.back()["Logs"], static_cast<long long>(i + 1));
    }
    ref_rows_ = Dump(ref);
    ref_links_ = LinkPairs(ref);
  }
  static void TearDownTestSuite() { tmp_.reset(); }
  void SetUp() override {
    if (after_.size() != files_.size() + 1) GTEST_SKIP() << "the reference could not be made";
  }

  static long long n() { return static_cast<long long>(files_.size()); }

  // tallyfeed storing files[from, to) into `db`, its output in `out`, its
  // process log in <out>.log.
  static Child Feed(const std::string& db, size_t from, size_t to, const std::string& out,
                    const std::vector<std::string>& env = {}) {
    const auto first = files_.begin() + static_cast<long>(from);
    return StartFeed(out + ".log", SqliteCs(db), {first, first + static_cast<long>(to - from)}, out, {}, env);
  }

  struct Outcome {
    int status = -1;        // as Child::Wait gives it
    long long stored = -1;  // datagrams in Logs after the run
  };

  // The whole feed into a copy of the empty database with TALLY_KILL_AT=`at`.
  // Checks that the file is intact and holds exactly the rows of the first
  // `stored` datagrams, then that feeding the rest completes it to the
  // reference.
  Outcome FeedKilledAt(const std::string& at) {
    SCOPED_TRACE("TALLY_KILL_AT=" + at);
    const std::string db = tmp_->File("killed.db"), out = db + ".txt";
    for (const char* suffix : {"", "-wal", "-shm"}) std::filesystem::remove(db + suffix);
    std::filesystem::copy_file(empty_, db);
    Outcome o;
    o.status = Feed(db, 0, files_.size(), out, {"TALLY_KILL_AT=" + at}).Wait();
    EXPECT_TRUE(o.status == kKilled || o.status == 0) << testkit::ReadFile(out);
    EXPECT_EQ(IntegrityCheck(db), "ok\n");
    const auto counts = CountsWithoutLinks(db);
    o.stored = counts.at("Logs");
    if (o.stored < 0 || o.stored > n()) {
      ADD_FAILURE() << o.stored << " datagrams stored of " << n();
      return o;
    }
    SCOPED_TRACE(std::to_string(o.stored) + " datagrams stored before the kill");
    EXPECT_EQ(counts, after_[static_cast<size_t>(o.stored)]);
    ExpectLinksWithin(db, ref_links_);
    if (o.stored < n()) {
      EXPECT_EQ(Feed(db, static_cast<size_t>(o.stored), files_.size(), out + ".refeed").Wait(), 0)
          << testkit::ReadFile(out + ".refeed");
    }
    EXPECT_EQ(IntegrityCheck(db), "ok\n");
    ExpectSameRows(db, ref_rows_);
    ExpectLinksWithin(db, ref_links_);
    return o;
  }

  // Pass counts to kill at: the first and the last pass, and `more` spread
  // over the feed by a seeded generator.
  static std::vector<long long> PassCounts(int more, unsigned seed) {
    std::vector<long long> out = {1, n()};
    std::mt19937 rng(seed);
    std::uniform_int_distribution<long long> pass(1, n());
    for (int i = 0; i < more; ++i) out.push_back(pass(rng));
    return out;
  }

  static inline std::unique_ptr<testkit::TempDir> tmp_;
  static inline std::vector<std::string> files_;
  static inline std::string empty_;
  static inline std::vector<std::map<std::string, long long>> after_;
  static inline std::map<std::string, std::vector<std::string>> ref_rows_;
  static inline std::set<std::string> ref_links_;
};

TEST_F(DataPathKill, OneRunStoresWhatOneRunPerDatagramStores) {
  const std::string db = tmp_->File("whole.db");
  std::filesystem::copy_file(empty_, db);
  ASSERT_EQ(Feed(db, 0, files_.size(), db + ".txt").Wait(), 0) << testkit::ReadFile(db + ".txt");
  ExpectSameRows(db, ref_rows_);
  ExpectLinksWithin(db, ref_links_);
}

// Each datagram is one pass with one commit: a kill before the Nth commit
// leaves the N - 1 datagrams before it, a kill right after it leaves N.
TEST_F(DataPathKill, AKillAtACommitLeavesThePassesCommittedBeforeIt) {
  for (long long pass : PassCounts(12, 20261207)) {
    const Outcome o = FeedKilledAt("commit:" + std::to_string(pass));
    EXPECT_EQ(o.status, kKilled);
    EXPECT_EQ(o.stored, pass - 1) << "killed before commit " << pass;
  }
  for (long long pass : PassCounts(12, 20261208)) {
    const Outcome o = FeedKilledAt("committed:" + std::to_string(pass));
    EXPECT_EQ(o.status, kKilled);
    EXPECT_EQ(o.stored, pass) << "killed after commit " << pass;
  }
}

// A kill after any statement leaves that statement's pass out. The feed's
// statement count is found by doubling, then halving the interval between
// the last count that killed and the first that did not; more counts are
// then drawn over the whole feed. Every run is checked as a kill is, and a
// later statement never leaves fewer datagrams stored.
TEST_F(DataPathKill, AKillAfterAStatementLeavesThatPassOut) {
  std::map<long long, Outcome> runs;
  auto run = [&](long long statement) {
    if (!runs.count(statement)) runs[statement] = FeedKilledAt("statement:" + std::to_string(statement));
    return runs[statement];
  };
  // The largest count seen to kill; the next count to try, at last the
  // smallest seen not to.
  long long killed = 0, whole = 1;
  while (run(whole).status == kKilled) {
    killed = whole;
    whole *= 2;
    ASSERT_LT(whole, 1 << 20) << "the feed never ended";
    if (::testing::Test::HasFailure()) return;
  }
  while (whole - killed > 1) {
    const long long mid = (killed + whole) / 2;
    if (run(mid).status == kKilled) {
      killed = mid;
    } else {
      whole = mid;
    }
    if (::testing::Test::HasFailure()) return;
  }
  ASSERT_GT(killed, 0) << "no statement ran";
  EXPECT_EQ(runs[killed].stored, n() - 1) << "the last statement is in the last pass";
  std::mt19937 rng(20261209);
  std::uniform_int_distribution<long long> statement(1, killed);
  for (int i = 0; i < 8; ++i) run(statement(rng));

  Outcome before{kKilled, 0};
  for (const auto& [statement, o] : runs) {
    SCOPED_TRACE("statement:" + std::to_string(statement));
    EXPECT_EQ(o.status, statement <= killed ? kKilled : 0);
    if (o.status == kKilled) {
      EXPECT_LT(o.stored, n());
    } else {
      EXPECT_EQ(o.stored, n());
    }
    EXPECT_GE(o.stored, before.stored);
    before = o;
  }
}

}  // namespace
}  // namespace datapath
