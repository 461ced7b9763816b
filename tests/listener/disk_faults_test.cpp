// The listener on a disk that fails (the fault-injecting Env): every datagram
// is stored once, in arrival order, and the operator is told why they wait.
#include <gtest/gtest.h>

#include <cstdio>

#include "fault_env.h"
#include "listener_fixture.h"

using namespace listenertest;
using testkit::FaultEnv;

namespace {

class DiskFaultTest : public ListenerTest {
 protected:
  std::string SpoolFolder() const { return ProgramPath() + "/spool"; }
  static std::string Said() { return tallyhost::TheEntryStatus().Describe(); }

  FaultEnv fs_;   // made before the listener's threads, ended after them
};

// The spool's disk is full while the database works: what arrives is
// stored from memory, in order, and the reason is said.
TEST_F(DiskFaultTest, DatagramsTheSpoolCannotTakeAreStoredFromMemoryInOrder) {
  StartEntries(1);
  fs_.FillDisk(SpoolFolder());
  fs_.SetFreeSpace(0);
  for (uint32_t i = 1; i <= 5; ++i) SendDatagram(ports[1], ValidDatagram(i));
  ASSERT_TRUE(WaitStored(1, 5));
  EXPECT_EQ(LogsData(dbs[1]), Numbered(1, 5));
  EXPECT_GT(fs_.Failed(FaultEnv::Call::kWrite), 0u);
  EXPECT_THAT(Said(), HasSubstr("the spool cannot take datagrams now (Can not write the spool " + SpoolFolder() +
                                "/port-" + std::to_string(ports[1]) + ".spool: No space left on device (0 KiB free))"));
  EXPECT_EQ(Form().Failed(), 0u);

  fs_.Clear();
  const uint64_t writes = fs_.Calls(FaultEnv::Call::kWrite);
  SendDatagram(ports[1], ValidDatagram(6));
  ASSERT_TRUE(WaitStored(1, 6));
  EXPECT_EQ(LogsData(dbs[1]), Numbered(1, 6));
  EXPECT_GT(fs_.Calls(FaultEnv::Call::kWrite), writes);   // spooled again
}

// Synced after every datagram: a sync the disk does not confirm is said,
// and the datagram is not taken for spooled; it is stored all the same.
TEST_F(DiskFaultTest, AnUnconfirmedSyncIsSaidAndItsDatagramStillStored) {
  WriteEntries(1);
  ASSERT_TRUE(Start("spoolsync=every"));
  fs_.FailSyncs(SpoolFolder());
  for (uint32_t i = 1; i <= 3; ++i) SendDatagram(ports[1], ValidDatagram(i));
  ASSERT_TRUE(WaitStored(1, 3));
  EXPECT_EQ(LogsData(dbs[1]), Numbered(1, 3));
  EXPECT_GT(fs_.Failed(FaultEnv::Call::kSync), 0u);
  EXPECT_THAT(Said(), HasSubstr("the spool cannot take datagrams now (The disk did not confirm the spool"));
  EXPECT_THAT(Said(), HasSubstr("the disk does not confirm what the spool writes (The disk did not confirm the spool " +
                                SpoolFolder() + "/port-" + std::to_string(ports[1]) + ".spool: Input/output error"));
  EXPECT_EQ(Form().Failed(), 0u);

  // The disk works again: said once, and datagrams are spooled again.
  fs_.Clear();
  const uint64_t syncs = fs_.Calls(FaultEnv::Call::kSync);
  SendDatagram(ports[1], ValidDatagram(4));
  ASSERT_TRUE(WaitStored(1, 4));
  Form().HandOverNext();   // what the last pass's disk said
  EXPECT_EQ(LogsData(dbs[1]), Numbered(1, 4));
  EXPECT_GT(fs_.Calls(FaultEnv::Call::kSync), syncs);
  EXPECT_THAT(Said(), HasSubstr("the disk confirms what the spool writes again"));
}

// The file system under the spool and the logs is full: the passes wait (the
// process log cannot be written) until there is room.
TEST_F(DiskFaultTest, AFullFileSystemIsWaitedForUntilItHasRoom) {
  testkit::TestEnv clock;   // over the fault Env: file calls pass through it
  clock.DriveSteadyClock();
  StartEntries(1);
  std::remove(dbs[1].c_str());   // the first ones wait in the spool
  SendDatagram(ports[1], ValidDatagram(1));
  SendDatagram(ports[1], ValidDatagram(2));
  ASSERT_TRUE(WaitUntil([&] { return Form().Deferred() >= 1 && Form().Pending() == 2 && !Form().Busy(); }));

  fs_.FillDisk(tmp_->path());
  fs_.SetFreeSpace(0);
  RestoreDatabase(1);   // the database is elsewhere and has room
  for (uint32_t i = 3; i <= 6; ++i) SendDatagram(ports[1], ValidDatagram(i));
  ASSERT_TRUE(WaitUntil([&] { return Form().Pending() == 6 && !Form().Busy(); }));
  for (int round = 0; round < 3; ++round) {
    clock.AdvanceSteadyClock(std::chrono::minutes(1));
    Form().HandOverNext();
    ASSERT_TRUE(WaitUntil([&] { return !Form().Busy(); }));
  }
  EXPECT_EQ(LogsCount(dbs[1]), 0u);   // no pass gets past its process log
  EXPECT_EQ(Form().Pending(), 6u);
  EXPECT_EQ(Form().Failed(), 0u);
  EXPECT_THAT(Said(), HasSubstr("No space left on device"));

  fs_.Clear();
  clock.AdvanceSteadyClock(std::chrono::minutes(1));
  Form().HandOverNext();
  ASSERT_TRUE(WaitStored(1, 6));
  EXPECT_EQ(LogsData(dbs[1]), Numbered(1, 6));
  EXPECT_EQ(Form().Failed(), 0u);
}

}  // namespace
