// The packet archive against a real concurrent writer.
#include "engine_fixture.h"
#include "fault_injection.h"
#include "score_module.h"

namespace enginetest {
namespace {

using tallycore::State;

void ExecOn(const std::string& db_path, const std::string& sql) {
  sqlite3* db;
  sqlite3_open_v2(db_path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr);
  sqlite3_busy_timeout(db, 2000);
  char* err = nullptr;
  int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &err);
  EXPECT_EQ(rc, SQLITE_OK) << (err ? err : "");
  sqlite3_free(err);
  sqlite3_close(db);
}

class ArchiveTest : public EngineTest {
 protected:
  void TearDown() override {
    State().EngineRecordset.reset();
    State().EngineConnection.reset();
    EngineTest::TearDown();
  }
  void OpenEngineConnection() {
    auto& s = State();
    s.EngineConnection = std::make_shared<ado::Connection>();
    s.EngineConnection->Open(ConnectionString());
    s.UDPData = {0x00, 0xFF, 0x41};
    s.ConnectedIPAddress = "10.1.2.3";
    s.ConnectedPortAddress = 27910;
  }
};

TEST_F(ArchiveTest, NumbersTakenByAConcurrentWriterAreSkipped) {
  auto plan = std::make_shared<ado::fault::FaultPlan>();
  bool taken = false;
  plan->BeforeEach([&](ado::fault::Op op, const std::string& text) {
    if (op == ado::fault::kInsert && text == "Logs" && !taken) {
      taken = true;   // another program stores two datagrams first
      ExecOn(db_path_, "insert into Logs(Record) values (1); insert into Logs(Record) values (2);");
    }
  });
  ado::fault::ScopedInjection scope(plan);
  OpenEngineConnection();
  tallycore::ArchivePacket();

  EXPECT_EQ(State().LogRecord, 3);
  EXPECT_TRUE(boxes_->shown().empty());
  auto log = plan->Log();
  // Record 1 twice (one retry), then 2 once (every further duplicate moves
  // on at once), then 3.
  EXPECT_EQ(std::count(log.begin(), log.end(), "Insert: Logs"), 4);
  auto rows = Rows("select Record, Log_IP, Log_Port, Log_Data from Logs where Record=3");
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0][1], "10.1.2.3");
  EXPECT_EQ(rows[0][3], std::string("\x00\xFF\x41", 3));
}

TEST_F(ArchiveTest, LockDuringTheRecordQueryIsRetriedWithinThePolicy) {
  auto plan = std::make_shared<ado::fault::FaultPlan>();
  plan->Fail({ado::fault::kExecute, "Select Record From Logs", 1, 3, ado::fault::LockConflict()});
  ado::fault::ScopedInjection scope(plan);
  OpenEngineConnection();
  tallycore::ArchivePacket();
  EXPECT_EQ(State().LogRecord, 1);
  EXPECT_EQ(plan->Injected(), 3);
  EXPECT_TRUE(boxes_->shown().empty());
}

}  // namespace
}  // namespace enginetest
