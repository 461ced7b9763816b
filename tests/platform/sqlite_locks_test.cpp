// The database's locks survive foreign closes: a plain open and close of the
// database file and its -wal and -shm files from this process must not let
// an outside sqlite3 shell believe it is alone (it would then fold the
// write-ahead log into the file and delete it while we still write).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>

#include "ado.h"
#include "sqlite_locks.h"
#include "test_env.h"

namespace {

class SqliteLocks : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!testkit::HaveSqliteShell()) GTEST_SKIP() << "no sqlite3 shell";
    path_ = dir_.File("stats.mdb");
    testkit::Touch(path_);
    conn_.Open("Provider=Microsoft.Jet.OLEDB.3.51;Data Source=" + path_);
    conn_.Execute("Create Table T (X INTEGER)");
  }
  void Insert(int from, int count) {
    for (int i = 0; i < count; ++i) conn_.Execute("Insert into T values ( " + std::to_string(from + i) + " )");
  }
  // Opens and closes every file of the database the way unrelated code does.
  void ForeignOpenClose(const std::string& path = "") {
    for (const char* suffix : {"", "-wal", "-shm"}) {
      const std::string file = (path.empty() ? path_ : path) + suffix;
      int fd = ::open(file.c_str(), O_RDONLY);
      ASSERT_GE(fd, 0) << file;
      ::close(fd);
      if (FILE* f = std::fopen(file.c_str(), "rb")) std::fclose(f);
    }
  }

  testkit::TempDir dir_;
  std::string path_;
  ado::Connection conn_;
};

TEST_F(SqliteLocks, OutsideReaderAndWriterKeepEveryRowAfterForeignCloses) {
  EXPECT_TRUE(ado::SqliteLocksKept());
  Insert(1, 10);
  ForeignOpenClose();
  // The outside shell writes, reads and closes: it must see that we are
  // still there and leave the write-ahead log in place.
  EXPECT_EQ(testkit::OutsideSqlite(path_, "INSERT INTO T VALUES (100);\nSELECT count(*) FROM T;"), "11\n");
  EXPECT_TRUE(testkit::Exists(path_ + "-wal"));
  Insert(11, 10);
  ForeignOpenClose();
  EXPECT_EQ(testkit::OutsideSqlite(path_, "SELECT count(*) FROM T;\nPRAGMA integrity_check;"), "21\nok\n");
  Insert(21, 5);
  conn_.Close();
  EXPECT_EQ(testkit::OutsideSqlite(path_, "SELECT count(*) FROM T;\nPRAGMA integrity_check;"), "26\nok\n");
}

TEST_F(SqliteLocks, LocksStillConflictWithOutsideWriters) {
  // Our write transaction holds the write lock against the outside shell.
  conn_.BeginTrans();
  Insert(1, 1);
  ForeignOpenClose();
  const std::string out = testkit::OutsideSqlite(path_, ".timeout 0\nINSERT INTO T VALUES (100);");
  EXPECT_NE(out.find("locked"), std::string::npos) << out;
  conn_.CommitTrans();
  EXPECT_EQ(testkit::OutsideSqlite(path_, "SELECT count(*) FROM T;"), "1\n");
}

TEST_F(SqliteLocks, ReplacedFileKeepsLocksOfItsOwn) {
  // A connection keeps the old file open (a rollback journal, so that no
  // write-ahead log of the old file is left at the path) ...
  const std::string path = dir_.File("replaced.mdb");
  testkit::Touch(path);
  ado::Connection old;
  old.Open("Provider=Microsoft.Jet.OLEDB.3.51;Data Source=" + path + ";Journal Mode=DELETE");
  old.Execute("Create Table T (X INTEGER)");
  old.Execute("Insert into T values ( 1 )");
  // ... while another file takes its place (a restored copy, say).
  const std::string other = dir_.File("other.mdb");
  testkit::Touch(other);
  EXPECT_EQ(testkit::OutsideSqlite(other, "PRAGMA journal_mode=WAL;\nCREATE TABLE T (X INTEGER);\nINSERT INTO T VALUES (7);"),
            "wal\n");
  ASSERT_EQ(std::rename(other.c_str(), path.c_str()), 0);
  ado::Connection again;
  again.Open("Provider=Microsoft.Jet.OLEDB.3.51;Data Source=" + path);
  again.Execute("Insert into T values ( 8 )");
  ForeignOpenClose(path);
  EXPECT_EQ(testkit::OutsideSqlite(path, "INSERT INTO T VALUES (9);\nSELECT group_concat(X) FROM T;"), "7,8,9\n");
  again.Execute("Insert into T values ( 10 )");
  EXPECT_EQ(testkit::OutsideSqlite(path, "SELECT group_concat(X) FROM T;\nPRAGMA integrity_check;"), "7,8,9,10\nok\n");
}

}  // namespace
