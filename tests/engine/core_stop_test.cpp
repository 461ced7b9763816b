// A pass stopped by Cancel lets go of the database at once.
#include "engine_fixture.h"
#include "textfile.h"

namespace enginetest {
namespace {

class StopTest : public EngineTest {};

TEST_F(StopTest, CancelAtARejectedStatementRollsBackAndReleasesTheWriteLock) {
  std::string s(20, '\0');
  s += "hostname \"Stop\"\n$HOST_IP$ \"1.2.3.4\"\nport \"27910\"\n";
  s += '\0';
  s += std::string(60, 'K') + "\tVictim\tKill\tRocket\t1\t2\n";   // the name is too long for Players
  boxes_->Push(msgbox::vbCancel);
  auto r = Pass(Bytes(s));
  EXPECT_FALSE(r.threw) << r.error;
  EXPECT_TRUE(r.outcome.stopped);
  ASSERT_EQ(boxes_->shown().size(), 1u);
  EXPECT_NE(boxes_->shown()[0].text.find("An error occured"), std::string::npos);

  // Without waiting: the stopped statement's transaction is gone.
  sqlite3* db;
  ASSERT_EQ(sqlite3_open_v2(db_path_.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr), SQLITE_OK);
  EXPECT_EQ(sqlite3_exec(db, "BEGIN IMMEDIATE; ROLLBACK;", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(db);
  EXPECT_EQ(Count("Players"), 0);
  EXPECT_EQ(Count("Logs"), 1);
  auto lines = textfile::ReadLines(LogPath());
  ASSERT_EQ(lines->size(), 1u);   // STARTED only
}

}  // namespace
}  // namespace enginetest
