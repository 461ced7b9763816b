// Several programs on one database file, a flood during a lock, the file
// replaced under a running listener, and the process log on a full disk.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <set>

#include "process_kit.h"
#include "test_env.h"

namespace datapath {
namespace {

TEST(DataPathSharing, EightFeedsAndTwoListenersOnOneRollbackJournalFile) {
  testkit::TempDir tmp;
  const std::string db = tmp.File("shared.db");
  CreateDatabase(db);
  const std::string cs = SqliteCs(db, ";Journal Mode=DELETE;Busy Timeout=100");
  std::vector<std::unique_ptr<Listener>> listeners;
  std::vector<int> ports;
  for (int l = 0; l < 2; ++l) {
    ports.push_back(FreeUdpPort());
    listeners.push_back(std::make_unique<Listener>(tmp.File("l") + std::to_string(l),
                                                   std::vector<Listener::Entry>{{ports.back(), cs}}));
    ASSERT_TRUE(listeners.back()->Start());
  }
  std::set<std::string> all;
  std::vector<Child> feeds;
  for (int f = 0; f < 8; ++f) {
    auto game = Game("Feed " + std::to_string(f), 120, 600, 4, true);
    for (auto& d : game) all.insert(std::string(d.begin(), d.end()));
    const std::string name = tmp.File("f") + std::to_string(f);
    feeds.push_back(StartFeed(tmp.File("feed.log"), cs, WriteDatagrams(name, "d", game), name + ".txt"));
  }
  std::vector<std::vector<uint8_t>> streams[2] = {Game("Listened 0", 300, 600, 4, true),
                                                 Game("Listened 1", 300, 600, 4, true)};
  {
    Sender s0(ports[0]), s1(ports[1]);
    for (size_t i = 0; i < std::max(streams[0].size(), streams[1].size()); ++i) {
      for (int l = 0; l < 2; ++l) {
        if (i >= streams[l].size()) continue;
        (l ? s1 : s0).Send(streams[l][i]);
        all.insert(std::string(streams[l][i].begin(), streams[l][i].end()));
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  for (int f = 0; f < 8; ++f)
    EXPECT_EQ(feeds[f].Wait(), 0) << testkit::ReadFile(tmp.File("f") + std::to_string(f) + ".txt");
  WaitStored(db, static_cast<long long>(all.size()), std::chrono::seconds(120));
  EXPECT_EQ(CountOf(db, "SELECT count(DISTINCT Log_Data) FROM Logs"), static_cast<long long>(all.size()));
  std::set<std::string> stored;
  for (auto& row : testkit::SqlRows(db, "SELECT Log_Data FROM Logs")) stored.insert(row[0]);
  EXPECT_TRUE(stored == all);
  EXPECT_EQ(IntegrityCheck(db), "ok\n");
  // Ten games, each with its own scores table holding its score records.
  EXPECT_EQ(CountOf(db, "SELECT count(*) FROM Games"), 10);
  long long records = 0;
  for (const std::string& d : all) records += ScoreRecords(std::vector<uint8_t>(d.begin(), d.end()));
  long long rows = 0;
  for (const auto& [table, count] : Counts(db))
    if (table.rfind("Scores_", 0) == 0) rows += count;
  EXPECT_EQ(rows, records);
  for (auto& l : listeners) {
    EXPECT_EQ(l->Output().find("Processing failed"), std::string::npos) << l->Output();
    l->Stop();
  }
}

TEST(DataPathSharing, AFloodOfTinyDatagramsDuringALockKeepsMemoryBounded) {
  testkit::TempDir tmp;
  const std::string db = tmp.File("flood.db");
  CreateDatabase(db);
  const int port = FreeUdpPort();
  Listener listener(tmp.path(), {{port, SqliteCs(db, ";Busy Timeout=200")}});
  ASSERT_TRUE(listener.Start());
  const long before = listener.RssKb();
  {
    testkit::WriteLock lock(db);
    Sender s(port);
    const std::vector<uint8_t> one = {'x'};
    for (int i = 0; i < 300000; ++i) s.Send(one);
    std::this_thread::sleep_for(std::chrono::seconds(3));
    const long peak = listener.RssKb("VmHWM:");
    RecordProperty("rss_before_kb", static_cast<int>(before));
    RecordProperty("peak_rss_kb", static_cast<int>(peak));
    EXPECT_GT(peak, 0);
#ifndef TALLY_SANITIZED
    EXPECT_LT(peak, 200 * 1024) << "peak resident memory in KB, from " << before;
#else
    // The address sanitizer's quarantine (256 MB) and shadow memory count in
    // the resident size: the bound applies to the plain build.
    EXPECT_LT(peak, (200 + 256) * 1024) << "peak resident memory in KB, from " << before;
#endif
    // Whatever waits, the program ends when asked: what waits in memory goes
    // into the spool first, which takes as long as the disk takes, so the
    // bound only tells an end from a hang.
    const double seconds = listener.Stop(SIGTERM);
    EXPECT_GE(seconds, 0);
    EXPECT_LT(seconds, 60.0);
  }
}

TEST(DataPathSharing, TheDatabaseReplacedByACopyAndByAnOlderBackupStaysIntact) {
  testkit::TempDir tmp;
  const std::string db = tmp.File("live.db");
  CreateDatabase(db);
  const int port = FreeUdpPort();
  Listener listener(tmp.path(), {{port, SqliteCs(db, ";Busy Timeout=200")}});
  ASSERT_TRUE(listener.Start());
  auto game = Game("Replaced", 1200, 200, 6, false);
  ASSERT_GE(game.size(), 400u);
  Sender s(port);
  auto send = [&](size_t from, size_t to) {
    for (size_t i = from; i < to; ++i) {
      s.Send(game[i]);
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  };
  auto records = [&](size_t from, size_t to) {
    long long n = 0;
    for (size_t i = from; i < to; ++i) n += ScoreRecords(game[i]);
    return n;
  };
  auto scores = [&] {   // the rows of the one game's scores table
    long long rows = -1;
    for (const auto& [table, count] : Counts(db))
      if (table.rfind("Scores_", 0) == 0) rows = rows < 0 ? count : -2;
    return rows;
  };

  send(0, 100);
  WaitStored(db, 100);
  const std::string backup = tmp.File("backup.db");
  ASSERT_EQ(testkit::SqlExec(db, "VACUUM INTO '" + backup + "'"), 0);
  send(100, 200);
  WaitStored(db, 200);
  const std::string copy = tmp.File("copy.db");
  ASSERT_EQ(testkit::SqlExec(db, "VACUUM INTO '" + copy + "'"), 0);
  std::filesystem::rename(copy, db);   // a copy renamed over the live file, as a restore script does
  // Nothing reads the file until the listener has written to it again.
  send(200, 300);
  std::this_thread::sleep_for(std::chrono::seconds(3));
  ASSERT_EQ(IntegrityCheck(db), "ok\n") << listener.Output();
  WaitStored(db, 300);
  EXPECT_EQ(scores(), records(0, 300));

  std::filesystem::rename(backup, db);   // the backup holds the first 100 datagrams
  send(300, 400);
  std::this_thread::sleep_for(std::chrono::seconds(3));
  WaitStored(db, 200);
  EXPECT_EQ(IntegrityCheck(db), "ok\n");
  EXPECT_EQ(CountOf(db, "SELECT count(*) FROM Games"), 1);
  EXPECT_EQ(scores(), records(0, 100) + records(300, 400));
  const std::string out = listener.Output();
  EXPECT_EQ(out.find("no such table"), std::string::npos) << out;
  EXPECT_EQ(out.find("Processing failed"), std::string::npos) << out;
  listener.Stop();
  EXPECT_EQ(IntegrityCheck(db), "ok\n");
}

TEST(DataPathSharing, ProcessLogLinesOnAFullDiskAreWholeOrAbsent) {
  testkit::TempDir tmp;
  Tmpfs mnt(tmp.File("mnt"), "64k");
  if (!mnt.error.empty()) GTEST_SKIP() << "no tmpfs can be mounted here: " << mnt.error;
  const std::string db = tmp.File("log.db");
  CreateDatabase(db);
  const std::string log = mnt.folder + "/Process.log";
  auto files = WriteDatagrams(tmp.File("in"), "d", Game("Logged", 60, 400, 4, true));
  auto feed = [&](const std::string& out) { return Feed(log, SqliteCs(db), files, tmp.File(out)); };
  ASSERT_EQ(feed("first.txt"), 0);
  // Fill the disk: the log can then grow only into the rest of its last
  // page, and the line that crosses the page's end meets the full disk part
  // way through. Three rounds, each ending at a different place in a line.
  for (int round = 0; round < 3; ++round) {
    const std::string filler = mnt.folder + "/filler";
    {
      std::ofstream f(filler, std::ios::binary);
      std::string block(512, 'f');
      while (f.write(block.data(), block.size()) && f.flush()) {
      }
    }
    feed("full" + std::to_string(round) + ".txt");
    std::filesystem::remove(filler);
    ASSERT_EQ(feed("after" + std::to_string(round) + ".txt"), 0);
  }
  const std::string text = testkit::ReadFile(log);
  ASSERT_FALSE(text.empty());
  ASSERT_EQ(text.back(), '\n');
  // Each line one whole line: not cut short, nor glued to the next.
  const std::regex line_rx("Process# [0-9]+ (STARTED|COMPLETED) (?!.*Process# )[^\\n]*\r?");
  std::istringstream in(text);
  size_t lines = 0;
  for (std::string line; std::getline(in, line); ++lines)
    EXPECT_TRUE(std::regex_match(line, line_rx)) << "line " << lines << ": " << line;
  EXPECT_GE(lines, 4 * 2 * files.size());   // the four runs with room, STARTED and COMPLETED
  EXPECT_EQ(IntegrityCheck(db), "ok\n");
}

}  // namespace
}  // namespace datapath
