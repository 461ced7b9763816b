// The reading half of tallysend driven step by step: the line splitter, the
// follower through appends, rotation, truncation and resumption, the saved
// state, and the batching of records into datagrams.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>

#include "datagram_sender.h"
#include "log_follower.h"
#include "send_state.h"
#include "test_env.h"
#include "udp_catcher.h"

namespace {

using tallysend::Line;
using tallysend::LineSplitter;
using tallysend::LogFollower;
using tallysend::Position;
using testing::ElementsAre;
using testing::HasSubstr;
using Texts = std::vector<std::string>;

Texts TextsOf(const std::vector<Line>& lines) {
  Texts out;
  for (const Line& l : lines) out.push_back(l.text);
  return out;
}

void Append(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::app) << bytes;
}

TEST(LineSplitter, HoldsAPartialLineAndReadsEveryLineEnd) {
  LineSplitter s;
  s.Restart({}, 0);
  std::vector<Line> out;
  s.Feed("\xEF\xBB\xBF" "a\r", &out);   // a byte-order mark; CR, its LF not yet come
  s.Feed("\nb\n\n\rc", &out);           // the LF after CR ends an empty line; those pass
  EXPECT_THAT(TextsOf(out), ElementsAre("a", "b"));
  EXPECT_TRUE(s.holding());
  EXPECT_EQ(out[0].end.offset, 5u);     // just after the CR
  EXPECT_EQ(out[1].end.offset, 8u);
  EXPECT_EQ(s.consumed().offset, 10u);  // past the empty lines, before "c"
  s.Feed("d\r\n", &out);
  EXPECT_THAT(TextsOf(out), ElementsAre("a", "b", "cd"));
  s.Feed("e", &out);
  s.Finish(&out);                       // the end of input ends the last line
  EXPECT_THAT(TextsOf(out), ElementsAre("a", "b", "cd", "e"));
  EXPECT_EQ(out.back().end.offset, 15u);
  // A byte-order mark counts only at the stream's start.
  std::vector<Line> later;
  s.Restart({}, 7);
  s.Feed("\xEF\xBB\xBFx\n", &later);
  EXPECT_THAT(TextsOf(later), ElementsAre("\xEF\xBB\xBFx"));
}

class Follower : public testing::Test {
 protected:
  testkit::TempDir tmp_;
  std::string log_ = tmp_.File("server.log");
  std::vector<std::string> notes_;
  LogFollower::Note note_ = [this](const std::string& n) { notes_.push_back(n); };

  static Texts Step(LogFollower& f) {
    std::vector<Line> out;
    f.Step(&out);
    return TextsOf(out);
  }
};

TEST_F(Follower, StartsAtTheEndOrFromTheStartAndWaitsForAMissingFile) {
  testkit::WriteFile(log_, "old 1\nold 2\npart");
  LogFollower tail(log_, {}, note_);
  LogFollower whole(log_, {.from_start = true, .resume = {}}, note_);
  EXPECT_THAT(Step(tail), ElementsAre());
  EXPECT_THAT(Step(whole), ElementsAre("old 1", "old 2"));
  Append(log_, "ial\nnew\n");
  // Tail starts after the last line end: the line being written counts.
  EXPECT_THAT(Step(tail), ElementsAre("partial", "new"));
  EXPECT_THAT(Step(whole), ElementsAre("partial", "new"));
  // A file whose first line is still being written: that line is whole.
  const std::string fresh = tmp_.File("fresh.log");
  testkit::WriteFile(fresh, "first li");
  LogFollower from_first(fresh, {}, note_);
  EXPECT_THAT(Step(from_first), ElementsAre());
  Append(fresh, "ne\n");
  EXPECT_THAT(Step(from_first), ElementsAre("first line"));

  const std::string later = tmp_.File("later.log");
  LogFollower waiting(later, {}, note_);
  EXPECT_THAT(Step(waiting), ElementsAre());
  EXPECT_FALSE(waiting.following());
  EXPECT_THAT(notes_, ElementsAre(HasSubstr("waiting for " + later)));
  testkit::WriteFile(later, "first\n");   // a file that came later is read whole
  EXPECT_THAT(Step(waiting), ElementsAre("first"));
}

TEST_F(Follower, FinishesTheRotatedFileThenReadsTheNewOneAndRestartsAfterTruncation) {
  testkit::WriteFile(log_, "");
  LogFollower f(log_, {}, note_);
  EXPECT_THAT(Step(f), ElementsAre());
  Append(log_, "1\n");
  EXPECT_THAT(Step(f), ElementsAre("1"));
  FILE* writer = std::fopen(log_.c_str(), "ab");   // the server's handle on the old file
  ASSERT_NE(::rename(log_.c_str(), (log_ + ".1").c_str()), -1);
  std::fputs("2\n3", writer);
  std::fflush(writer);
  EXPECT_THAT(Step(f), ElementsAre("2"));   // nothing at the path: the old file is read on
  testkit::WriteFile(log_, "4\n");
  std::fputs("x\n", writer);                // written before the switch was seen
  std::fclose(writer);
  EXPECT_THAT(Step(f), ElementsAre("3x", "4"));
  Append(log_, "5\n6\n");
  EXPECT_THAT(Step(f), ElementsAre("5", "6"));
  ASSERT_EQ(::truncate(log_.c_str(), 0), 0);
  Append(log_, "7\n");
  EXPECT_THAT(Step(f), ElementsAre("7"));
  EXPECT_THAT(notes_, ElementsAre(HasSubstr("was replaced"), HasSubstr("was truncated")));
}

// Resuming at a saved position: in the same file, in the rotated one found
// in the folder, and from the start when that is gone or shorter.
TEST_F(Follower, ResumesAtTheSavedPositionWhereverTheFileWent) {
  testkit::WriteFile(log_, "1\n2\n3\n");
  Position after_1;
  {
    LogFollower f(log_, {.from_start = true, .resume = {}}, note_);
    std::vector<Line> out;
    f.Step(&out);
    ASSERT_EQ(out.size(), 3u);
    after_1 = out[0].end;
    EXPECT_EQ(f.position(), out[2].end);
  }
  Append(log_, "4\n");
  LogFollower again(log_, {.resume = after_1}, note_);
  EXPECT_THAT(Step(again), ElementsAre("2", "3", "4"));
  // A position before any file: whatever is at the path, from its start.
  LogFollower none(log_, {.resume = Position{}}, note_);
  EXPECT_THAT(Step(none), ElementsAre("1", "2", "3", "4"));

  ASSERT_EQ(::rename(log_.c_str(), (log_ + ".1").c_str()), 0);
  testkit::WriteFile(log_, "5\n");
  LogFollower rotated(log_, {.resume = after_1}, note_);
  EXPECT_THAT(Step(rotated), ElementsAre("2", "3", "4", "5"));
  EXPECT_THAT(notes_, testing::Contains(HasSubstr("finishing " + log_ + ".1")));

  ASSERT_EQ(::unlink((log_ + ".1").c_str()), 0);
  notes_.clear();
  LogFollower gone(log_, {.resume = after_1}, note_);
  EXPECT_THAT(Step(gone), ElementsAre("5"));
  EXPECT_THAT(notes_, ElementsAre(HasSubstr("is gone")));

  const Position past = {*tallysend::IdOf(log_), 100};
  LogFollower truncated(log_, {.resume = past}, note_);
  EXPECT_THAT(Step(truncated), ElementsAre("5"));
}

TEST_F(Follower, ReadsALongBacklogInBoundedSteps) {
  std::string text;
  for (int i = 0; i < 1000; ++i) text += "record " + std::to_string(i) + "\n";
  testkit::WriteFile(log_, text);
  LogFollower f(log_, {.from_start = true, .resume = {}}, note_);
  std::vector<Line> out;
  f.Step(&out, 1000);
  EXPECT_TRUE(f.more());
  EXPECT_LE(out.size(), 100u);
  while (f.more()) f.Step(&out, 1000);
  ASSERT_EQ(out.size(), 1000u);
  EXPECT_EQ(out.back().text, "record 999");
}

TEST(SendState, SavesAndLoadsAndRefusesADamagedFile) {
  testkit::TempDir tmp;
  const std::string path = tmp.File("x.state");
  std::string error;
  EXPECT_FALSE(tallysend::LoadState(path, &error));
  EXPECT_EQ(error, "");   // none yet
  const tallysend::SendState s{{{66306, 1234567890123ull}, 4096}, 17};
  ASSERT_TRUE(tallysend::SaveState(path, s, &error)) << error;
  EXPECT_EQ(tallysend::LoadState(path, &error), s);
  EXPECT_FALSE(testkit::Exists(path + ".tmp"));
  for (const std::string& bad : {std::string("tallysend state 1\nfile 1 2\noffset 3\n"),
                                 std::string("tallysend state 1\nfile 1 2\noffset 3\nnext-packet 9999999\n"),
                                 std::string("tallysend state 1\nfile 1 2\noffset -3\nnext-packet 9\n"), std::string("")}) {
    testkit::WriteFile(path, bad);
    EXPECT_FALSE(tallysend::LoadState(path, &error)) << bad;
    EXPECT_THAT(error, HasSubstr("is damaged")) << bad;
  }
  EXPECT_FALSE(tallysend::SaveState(tmp.File("no/such/folder/x.state"), s, &error));
  EXPECT_THAT(error, HasSubstr("can not be saved"));
}

TEST(BatchSender, PacksRecordsIntoFewDatagramsAndPassesOverOnesThatCanNotGo) {
  UdpCatcher catcher;
  tallysend::UdpTarget target("127.0.0.1", std::to_string(catcher.port()));
  datagram::Builder base;
  base.server_vars = {{"hostname", "h"}, {"$HOST_IP$", "127.0.0.1"}, {"port", "1"}};
  base.player_var_lines = {"netname \"p\""};
  Texts notes;
  tallysend::BatchSender sender(target, base, 200, 7, [&](const std::string& n) { notes.push_back(n); });
  std::vector<Line> lines;
  for (uint64_t i = 1; i <= 12; ++i) lines.push_back({"record number " + std::to_string(i), {{1, 2}, i * 10}});
  std::vector<Position> saved;
  auto sent = [&](const Position& p) { saved.push_back(p); };
  EXPECT_EQ(sender.Send(lines, 12, sent, {}), 12u);
  ASSERT_TRUE(catcher.WaitRecords(12));
  ASSERT_EQ(catcher.datagrams().size(), 2u);   // 12 x 17 bytes fit two datagrams of 200
  EXPECT_EQ(catcher.datagrams()[0].packet, 7u);
  EXPECT_EQ(catcher.datagrams()[1].packet, 8u);
  EXPECT_THAT(catcher.datagrams()[1].player_vars, ElementsAre("netname \"p\""));
  ASSERT_EQ(saved.size(), 2u);   // after each datagram, the end of its last record
  EXPECT_EQ(saved[0].offset, catcher.datagrams()[0].records.size() * 10);
  EXPECT_EQ(saved[1].offset, 120u);
  EXPECT_EQ(sender.next_packet(), 9u);

  // A line too long for any datagram is passed over; the others still go.
  std::vector<Line> odd = {{"before", {{1, 2}, 130}}, {std::string(300, 'x'), {{1, 2}, 431}}, {"after", {{1, 2}, 437}}};
  saved.clear();
  EXPECT_EQ(sender.Send(odd, 3, sent, {}), 3u);
  ASSERT_TRUE(catcher.WaitFor("after"));
  EXPECT_THAT(catcher.records(), testing::IsSupersetOf({"before", "after"}));
  EXPECT_THAT(notes, ElementsAre(HasSubstr("passed over")));
  ASSERT_FALSE(saved.empty());
  EXPECT_EQ(saved.back().offset, 437u);
  EXPECT_TRUE(catcher.PacketsIncrease());

  // Stopped: nothing more goes out.
  EXPECT_EQ(sender.Send(lines, 12, sent, [] { return true; }), 0u);
}

TEST(BatchSender, KnowsALogDateRecord) {
  EXPECT_TRUE(tallysend::IsLogDate("\t\tLogDate\t2024-01-02 x\t\t0"));
  EXPECT_TRUE(tallysend::IsLogDate("\t\tLogDate"));
  EXPECT_FALSE(tallysend::IsLogDate("\t\tLogDates\t1"));
  EXPECT_FALSE(tallysend::IsLogDate("a\t\tLogDate\t1"));
}

}  // namespace
