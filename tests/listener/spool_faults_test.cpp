// The spool on a disk that fails (the fault-injecting Env): what was spooled
// stays readable, once, and the numbers go on in order once the disk works.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>

#include "fault_env.h"
#include "spool_kit.h"

using namespace spooltest;
using testkit::FaultEnv;
using ::testing::HasSubstr;

namespace {

class SpoolFaultTest : public SpoolTest {
 protected:
  static tallyhost::SpoolOptions Every(uint64_t max_bytes = 0) {
    tallyhost::SpoolOptions o;
    o.sync = tallyhost::SpoolSync::kEvery;
    o.max_bytes = max_bytes;
    return o;
  }
  bool Exists(const std::string& path) const { return std::filesystem::exists(path); }
  FaultEnv fs_;
};

TEST_F(SpoolFaultTest, AFullDiskRefusesAppendsWithItsReasonAndKeepsEverythingSpooledBefore) {
  auto s = Open(Every());
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(s->Append(Datagram(i)));
  const std::string before = testkit::ReadFile(DataFile());
  // The first write meets the full disk halfway, as a real one does.
  fs_.Add({FaultEnv::Call::kWrite, ".spool", ENOSPC, 0, 0, /*short_write=*/true});
  fs_.SetFreeSpace(0);
  EXPECT_FALSE(s->Append(Datagram(3)));
  EXPECT_THAT(s->LastError(), HasSubstr(DataFile()));
  EXPECT_THAT(s->LastError(), HasSubstr("No space left on device (0 KiB free)"));
  EXPECT_FALSE(s->Append(Datagram(4)));
  EXPECT_FALSE(s->AtCap());   // a full disk is no cap
  EXPECT_EQ(s->RefusedAtCap(), 0u);
  EXPECT_EQ(testkit::ReadFile(DataFile()), before);   // the half record was taken back
  EXPECT_EQ(s->Waiting(), 3u);
  // Handing over goes on meanwhile.
  ExpectNext(*s, 0);

  fs_.Clear();
  ASSERT_TRUE(s->Append(Datagram(3)));
  EXPECT_TRUE(s->LastError().empty());
  ASSERT_TRUE(s->Append(Datagram(4)));
  EXPECT_EQ(s->WaitingRange(), std::make_pair(uint64_t{2}, uint64_t{5}));   // no number used by a refusal
  Reopen(s, Every());
  EXPECT_FALSE(s->Damage().Any()) << s->Damage().Describe(DataFile());
  ExpectDrains(*s, {1, 2, 3, 4});
}

// The head cannot be written either: being a hint only, what it would have
// passed is offered again (the ledger skips it), and none is lost.
TEST_F(SpoolFaultTest, AFullDiskUnderTheHeadOffersAgainWhatItPassedAndLosesNothing) {
  auto s = Open(Every());
  for (int i = 0; i < 4; ++i) ASSERT_TRUE(s->Append(Datagram(i)));
  fs_.FillDisk(Folder());
  ExpectNext(*s, 0);
  ExpectNext(*s, 1);
  EXPECT_FALSE(s->Append(Datagram(4)));
  fs_.Clear();
  Reopen(s, Every());
  EXPECT_EQ(s->SkipThrough(2), 2u);   // the ledger says 1 and 2 are stored
  ExpectDrains(*s, {2, 3});
}

TEST_F(SpoolFaultTest, ASyncTheDiskDoesNotConfirmRefusesTheDatagramInEveryMode) {
  auto s = Open(Every());
  ASSERT_TRUE(s->Append(Datagram(0)));
  ASSERT_TRUE(s->Append(Datagram(1)));
  const auto size = std::filesystem::file_size(DataFile());
  fs_.FailSyncs(".spool");
  EXPECT_FALSE(s->Append(Datagram(2)));
  EXPECT_EQ(s->SyncFailures(), 1u);
  EXPECT_THAT(s->LastError(), HasSubstr("The disk did not confirm the spool " + DataFile()));
  EXPECT_THAT(s->LastError(), HasSubstr("Input/output error"));
  EXPECT_EQ(s->SyncError(), s->LastError());
  EXPECT_EQ(std::filesystem::file_size(DataFile()), size);   // its record was taken back
  EXPECT_EQ(s->Waiting(), 2u);

  // A record that cannot be taken back stays the spool's, once: it is read
  // back as any other and the Append says it was taken.
  fs_.Add({FaultEnv::Call::kTruncate, ".spool", EIO});
  EXPECT_TRUE(s->Append(Datagram(2)));
  EXPECT_EQ(s->SyncFailures(), 2u);
  EXPECT_EQ(s->Waiting(), 3u);

  fs_.Clear();
  ASSERT_TRUE(s->Append(Datagram(3)));
  EXPECT_EQ(s->SyncFailures(), 2u);
  EXPECT_TRUE(s->Sync());
  Reopen(s, Every());
  EXPECT_FALSE(s->Damage().Any()) << s->Damage().Describe(DataFile());
  ExpectDrains(*s, {0, 1, 2, 3});
}

// Synced as a group, the datagrams are taken before the sync; a failed sync
// is counted and said, and Sync does not pass it off as done.
TEST_F(SpoolFaultTest, AFailedGroupSyncIsCountedAndSyncSaysSo) {
  tallyhost::SpoolOptions o;
  o.sync = tallyhost::SpoolSync::kGroup;
  o.group_interval = std::chrono::hours(1);
  auto s = Open(o);
  fs_.FailSyncs();
  ASSERT_TRUE(s->Append(Datagram(0)));
  EXPECT_FALSE(s->Sync());
  EXPECT_EQ(s->SyncFailures(), 1u);
  EXPECT_THAT(s->SyncError(), HasSubstr("Input/output error"));
  EXPECT_TRUE(s->LastError().empty());   // the Append itself was taken
  fs_.Clear();
  EXPECT_TRUE(s->Sync());
  EXPECT_EQ(s->SyncFailures(), 1u);
  ExpectDrains(*s, {0});
}

// At the cap the room of datagrams dealt with is given back by rewriting the
// file: a rename that fails leaves the spool as it was, and a full disk right
// after is told as a full disk, not as the cap.
TEST_F(SpoolFaultTest, ARewriteAtTheCapThatFailsLeavesTheSpoolAsItWasAndAFullDiskIsNoCap) {
  const auto options = Every(3 * RecordSize());
  auto s = Open(options);
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(s->Append(Datagram(i)));
  ExpectNext(*s, 0);
  fs_.FailRenames(".spool");
  EXPECT_FALSE(s->Append(Datagram(3)));   // the room of datagram 0 cannot be given back
  EXPECT_TRUE(s->AtCap());
  EXPECT_EQ(fs_.Failed(FaultEnv::Call::kRename), 1u);
  EXPECT_FALSE(Exists(DataFile() + ".new"));

  fs_.Clear();
  const uint64_t refused = s->RefusedAtCap();
  fs_.FailNthWrite(3, ".spool");   // the rewrite writes twice, then the record
  EXPECT_FALSE(s->Append(Datagram(3)));
  EXPECT_FALSE(s->AtCap());
  EXPECT_EQ(s->RefusedAtCap(), refused);
  EXPECT_THAT(s->LastError(), HasSubstr("No space left on device"));
  Reopen(s, options);   // it holds what it held
  EXPECT_FALSE(s->Damage().Any());
  EXPECT_EQ(s->WaitingRange(), std::make_pair(uint64_t{2}, uint64_t{3}));
  ASSERT_TRUE(s->Append(Datagram(3)));
  EXPECT_FALSE(s->AtCap());
  Reopen(s, options);
  ExpectDrains(*s, {1, 2, 3});
}

TEST_F(SpoolFaultTest, ARepairWhoseRenameFailsIsRefusedClearlyAndTriedAgainAtTheNextOpen) {
  Spooled(3, 0, Every());
  {
    std::FILE* f = std::fopen(DataFile().c_str(), "ab");
    std::fputs("torn record", f);
    std::fclose(f);
  }
  const std::string damaged = testkit::ReadFile(DataFile());
  fs_.FailRenames(".spool");
  try {
    Open(Every());
    ADD_FAILURE() << "opened without its repair";
  } catch (const std::runtime_error& e) {
    EXPECT_THAT(e.what(), HasSubstr("Can not repair the spool " + DataFile()));
    EXPECT_THAT(e.what(), HasSubstr("Input/output error"));
  }
  EXPECT_EQ(testkit::ReadFile(DataFile()), damaged);
  EXPECT_FALSE(Exists(DataFile() + ".new"));

  fs_.Clear();
  auto s = Open(Every());
  EXPECT_TRUE(s->Damage().torn_end);
  ExpectDrains(*s, {0, 1, 2});
}

}  // namespace
