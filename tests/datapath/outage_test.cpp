// The headless listener while its database is out of reach (held locked by
// another program, removed, full) and when it is ended with thousands of
// datagrams waiting: every datagram is stored once the database is back,
// exactly once, in arrival order per entry.
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>

#include <filesystem>
#include <functional>
#include <regex>
#include <set>

#include "process_kit.h"
#include "test_env.h"

namespace datapath {
namespace {

using Datagrams = std::vector<std::vector<uint8_t>>;

class OutageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    db_ = tmp_.File("stats.db");
    CreateDatabase(db_);
    ports_ = {FreeUdpPort(), FreeUdpPort()};
    while (ports_[1] == ports_[0]) ports_[1] = FreeUdpPort();
    // Two servers, one per entry, a record or two per datagram.
    sent_[0] = Game("Entry one", 2000, 180, 4, false);
    sent_[1] = Game("Entry two", 2000, 180, 4, false, 7);
  }

  std::unique_ptr<Listener> MakeListener(const std::string& extra = ";Busy Timeout=200",
                                         const std::string& db = "") {
    const std::string cs = SqliteCs(db.empty() ? db_ : db, extra);
    return std::make_unique<Listener>(tmp_.path(),
                                      std::vector<Listener::Entry>{{ports_[0], cs}, {ports_[1], cs}},
                                      std::vector<std::string>{"TALLY_LOCK_BUDGET=3"});
  }

  // Sends `count` datagrams per entry at about `per_second` in all,
  // alternating entries; `at(i)` runs before the i-th send.
  void Stream(size_t count, int per_second, const std::function<void(size_t)>& at = nullptr) {
    Sender a(ports_[0]), b(ports_[1]);
    const auto start = std::chrono::steady_clock::now();
    for (size_t i = 0; i < 2 * count; ++i) {
      if (at) at(i);
      (i % 2 ? b : a).Send(sent_[i % 2][next_[i % 2]++]);
      std::this_thread::sleep_until(start + std::chrono::microseconds(1000000L * static_cast<long>(i + 1) / per_second));
    }
  }

  // Waits until `expected` datagrams are stored and stay so; then checks
  // each entry's datagrams are stored once each, in the order sent.
  void ExpectAllStoredInOrder(const std::string& db, size_t expected, std::chrono::seconds timeout) {
    WaitStored(db, static_cast<long long>(expected), timeout);
    ASSERT_EQ(IntegrityCheck(db), "ok\n");
    Datagrams stored[2];
    for (auto& row : testkit::SqlRows(db, "SELECT Log_Data FROM Logs ORDER BY Record"))
      stored[row[0].find("Entry two") != std::string::npos].emplace_back(row[0].begin(), row[0].end());
    for (int e = 0; e < 2; ++e) {
      ASSERT_EQ(stored[e].size(), next_[e]) << "entry " << e;
      for (size_t i = 0; i < next_[e]; ++i)
        ASSERT_EQ(stored[e][i], sent_[e][i]) << "entry " << e << " datagram " << i;
    }
  }

  // The listener waited for the database (its datagrams went to the spool)
  // and no pass failed.
  void ExpectWaitedWithoutFailing(Listener& listener, const char* what = "") {
    EXPECT_NE(listener.Output().find("The datagram waits in the spool"), std::string::npos) << what;
    EXPECT_EQ(listener.Output().find("Processing failed"), std::string::npos) << listener.Output();
  }

  void RemovedAndRestored(bool leave_empty);

  // 800 datagrams into `db` that has no room (a full file or disk) until
  // `free` runs after the 700th: all are stored once there is room.
  void FullUntilFreed(const std::string& db, const std::string& extra, const std::function<void()>& free,
                      const char* what) {
    auto listener = MakeListener(";Busy Timeout=200" + extra, db);
    ASSERT_TRUE(listener->Start());
    Stream(400, 100, [&](size_t i) {
      if (i == 700) free();
    });
    ExpectAllStoredInOrder(db, 800, std::chrono::seconds(60));
    ExpectWaitedWithoutFailing(*listener, what);
  }

  testkit::TempDir tmp_;
  std::string db_;
  std::vector<int> ports_;
  Datagrams sent_[2];
  size_t next_[2] = {0, 0};
};

TEST_F(OutageTest, AThirtySecondLockLosesNothingAndKeepsTheOrder) {
  auto listener = MakeListener();
  ASSERT_TRUE(listener->Start());
  Stream(50, 100);   // stored as they come
  std::optional<testkit::WriteLock> lock;
  lock.emplace(db_);
  Stream(1500, 100);   // 30 s at 100 datagrams/s
  lock.reset();
  Stream(50, 100);
  ExpectAllStoredInOrder(db_, 3200, std::chrono::seconds(90));
  ExpectWaitedWithoutFailing(*listener);
  EXPECT_GT(listener->Stop(), 0);
}

// The database moved away while datagrams arrive, and later moved back;
// with `leave_empty`, an empty file (no tables) stands in its place meanwhile.
void OutageTest::RemovedAndRestored(bool leave_empty) {
  auto listener = MakeListener();
  ASSERT_TRUE(listener->Start());
  Stream(50, 100);
  ExpectAllStoredInOrder(db_, 100, std::chrono::seconds(30));
  const std::string away = tmp_.File("away.db");
  Stream(300, 100, [&](size_t i) {
    if (i == 20) {
      // The pooled handle may keep the old file: it must not be written to
      // after it was renamed away and back.
      for (const char* s : {"", "-wal", "-shm"})
        if (testkit::Exists(db_ + s)) std::filesystem::rename(db_ + s, away + s);
      if (leave_empty) testkit::Touch(db_);
    }
    if (i == 500) {
      if (leave_empty)
        for (const char* s : {"", "-wal", "-shm"}) std::filesystem::remove(db_ + s);
      for (const char* s : {"", "-wal", "-shm"})
        if (testkit::Exists(away + s)) std::filesystem::rename(away + s, db_ + s);
    }
  });
  EXPECT_FALSE(testkit::Exists(away));
  ExpectAllStoredInOrder(db_, 700, std::chrono::seconds(60));
  ExpectWaitedWithoutFailing(*listener);
}

TEST_F(OutageTest, ARemovedDatabaseIsWaitedForAndFilledWhenRestored) { RemovedAndRestored(false); }

// A file without the tables takes no datagram: they wait as for a missing one.
TEST_F(OutageTest, ADatabaseReplacedByAnEmptyFileIsWaitedFor) { RemovedAndRestored(true); }

TEST_F(OutageTest, AFullDatabaseIsWaitedForUntilThereIsRoom) {
  // The file may grow by a few pages only (Max Page Count); a padding table
  // holds the rest of the room. Dropping it frees pages the listener reuses.
  const std::string db = tmp_.File("full.db");
  CreateDatabase(db);
  testkit::SqlExec(db, "CREATE TABLE Padding (x BLOB)");
  testkit::SqlExec(db, "INSERT INTO Padding SELECT zeroblob(4000) FROM "
                       "(WITH RECURSIVE c(n) AS (SELECT 1 UNION ALL SELECT n + 1 FROM c WHERE n < 1500) SELECT n FROM c)");
  testkit::SqlExec(db, "PRAGMA wal_checkpoint(TRUNCATE)");
  const long long pages = CountOf(db, "PRAGMA page_count");
  FullUntilFreed(db, ";Max Page Count=" + std::to_string(pages + 12),
                 [&] { ASSERT_EQ(testkit::SqlExec(db, "DROP TABLE Padding"), SQLITE_OK); },
                 "the database never filled up");
}

// The database's own file system full: SQLite's writes, which no Env
// reaches. The listener's files on a full disk (spool and logs) are tested in
// process through the fault Env (tests/listener/disk_faults_test.cpp).
TEST_F(OutageTest, AFullFileSystemIsWaitedForUntilItGrows) {
  Tmpfs mnt(tmp_.File("mnt"), "400k");
  if (!mnt.error.empty()) GTEST_SKIP() << "no tmpfs can be mounted here: " << mnt.error;
  const std::string db = mnt.folder + "/stats.db";
  CreateDatabase(db);
  FullUntilFreed(db, "", [&] { ASSERT_TRUE(mnt.Resize("20m")); }, "the file system never filled up");
}

// The spools at their size cap while the database is locked: what comes
// meanwhile waits in memory behind them, and what comes while all that is
// stored after the lock queues behind it: every datagram stored once, in
// arrival order per entry, so each game holds exactly its own kills.
TEST_F(OutageTest, SpoolsAtTheirCapBehindALockKeepTheArrivalOrder) {
  auto listener = MakeListener();
  listener->options = {"spoolmax=24k"};   // about 100 of these datagrams
  ASSERT_TRUE(listener->Start());
  std::optional<testkit::WriteLock> lock;
  lock.emplace(db_);
  Stream(300, 500);
  ASSERT_TRUE(WaitFor([&] { return listener->Output().find("size cap") != std::string::npos; },
                      std::chrono::seconds(30)))
      << listener->Output();
  lock.reset();
  Stream(300, 500);
  ExpectAllStoredInOrder(db_, 1200, std::chrono::seconds(90));
  ExpectWaitedWithoutFailing(*listener);
  EXPECT_EQ(listener->Output().find("are lost:"), std::string::npos) << listener->Output();
}

// Ended while the database is locked, the spools at their cap and more in
// memory: the end comes within seconds, what the spools hold is stored once
// at the next start, and what only memory held is reported lost by number
// and time, newest only.
TEST_F(OutageTest, SigtermWithFullSpoolsAndALockedDatabaseEndsSoonAndLosesOnlyWhatItReports) {
  auto listener = MakeListener();
  listener->options = {"spoolmax=24k"};
  ASSERT_TRUE(listener->Start());
  {
    testkit::WriteLock lock(db_);
    Stream(300, 500);
    ASSERT_TRUE(WaitFor([&] { return listener->Output().find("size cap") != std::string::npos; },
                        std::chrono::seconds(30)));
    const double seconds = listener->Stop(SIGTERM);
    EXPECT_GE(seconds, 0);
    EXPECT_LT(seconds, 5.0);
  }
  const std::string said = listener->Output();
  EXPECT_THAT(said, HasSubstr("are lost: neither the spool"));
  EXPECT_THAT(said, HasSubstr("wait in the spool"));
  listener->options = {};
  ASSERT_TRUE(listener->Start());
  // The end said how many wait in each spool; the next start stores them.
  auto sum = [&](const std::regex& pattern) {
    long long n = 0;
    for (std::sregex_iterator it(said.begin(), said.end(), pattern), end; it != end; ++it) n += std::stoll((*it)[1]);
    return n;
  };
  const long long spooled = sum(std::regex("(\\d+) datagrams \\(numbers \\d+ to \\d+\\) wait in the spool"));
  const long long lost = sum(std::regex("(\\d+) datagrams received from .* are lost"));
  WaitStored(db_, spooled, std::chrono::seconds(60));
  listener->Stop();
  EXPECT_EQ(CountOf(db_, "SELECT count(*) FROM Logs"), spooled);
  EXPECT_EQ(spooled + lost, 600);   // nothing lost that was not reported
  EXPECT_GT(spooled, 100);
  EXPECT_LT(spooled, 600);
  // Each entry stored the oldest of what it was sent, once each, in order.
  Datagrams stored[2];
  for (auto& row : testkit::SqlRows(db_, "SELECT Log_Data FROM Logs ORDER BY Record"))
    stored[row[0].find("Entry two") != std::string::npos].emplace_back(row[0].begin(), row[0].end());
  for (int e = 0; e < 2; ++e)
    for (size_t i = 0; i < stored[e].size(); ++i) ASSERT_EQ(stored[e][i], sent_[e][i]) << "entry " << e << " " << i;
}

TEST_F(OutageTest, SigtermWithTwentyThousandWaitingEndsSoonAndTheNextStartStoresThemOnce) {
  auto listener = MakeListener();
  ASSERT_TRUE(listener->Start());
  const std::string spool = listener->SpoolFile(ports_[0]);
  // One entry, 20,000 datagrams: the game of the first entry and more.
  sent_[0] = Game("Entry one", 20000, 180, 4, false);
  sent_[0].resize(20000);
  uint64_t spool_bytes = kSpoolFileHeader;
  for (const auto& d : sent_[0]) spool_bytes += SpooledBytes(d);
  {
    testkit::WriteLock lock(db_);
    Sender a(ports_[0]);
    for (size_t i = 0; i < sent_[0].size(); ++i) {
      a.Send(sent_[0][i]);
      if (i % 100 == 99) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    next_[0] = sent_[0].size();
    ASSERT_TRUE(WaitFor([&] { return testkit::Exists(spool) && std::filesystem::file_size(spool) >= spool_bytes; },
                        std::chrono::seconds(30)))
        << "the spool holds " << std::filesystem::file_size(spool) << " of " << spool_bytes << " bytes";
    const double seconds = listener->Stop(SIGTERM);
    EXPECT_GE(seconds, 0);
    EXPECT_LT(seconds, 5.0);
    EXPECT_EQ(listener->child().Wait(), 0);
  }
  EXPECT_EQ(CountOf(db_, "SELECT count(*) FROM Logs"), 0);
  ASSERT_TRUE(listener->Start());
  ExpectAllStoredInOrder(db_, 20000, std::chrono::seconds(150));
  listener->Stop();
}

}  // namespace
}  // namespace datapath
