// The summaries file's statements: compiled once per text on a Db, each use
// starting afresh (no row held, nothing bound), two uses of one text at once
// apart, and a bounded number kept.
#include <gtest/gtest.h>

#include <string>

#include "sqlite_db.h"
#include "test_env.h"

namespace {

// The compiled statements the connection holds, idle or in use.
int Compiled(web::Db& db) {
  int n = 0;
  for (sqlite3_stmt* st = sqlite3_next_stmt(db.handle(), nullptr); st; st = sqlite3_next_stmt(db.handle(), st)) ++n;
  return n;
}

class WebDb : public ::testing::Test {
 protected:
  void SetUp() override {
    web::Db make(path_, false);
    make.Exec("CREATE TABLE t (id INTEGER PRIMARY KEY, name TEXT); "
              "INSERT INTO t VALUES (1, 'a'), (2, 'b'), (3, 'c');");
  }
  testkit::TempDir dir_;
  const std::string path_ = dir_.File("summaries.db");
};

TEST_F(WebDb, ATextRunAgainIsCompiledOnceAndStartsAfresh) {
  web::Db db(path_, true);
  const std::string sql = "SELECT ifnull(name, 'none') FROM t WHERE id = ?";
  for (int id : {1, 2, 3}) {
    web::Stmt q(db, sql);
    q.Bind(1, static_cast<int64_t>(id));
    ASSERT_TRUE(q.Step());
    EXPECT_EQ(q.Text(0), std::string(1, static_cast<char>('a' + id - 1)));
  }
  EXPECT_EQ(Compiled(db), 1);
  {
    // Nothing of the last use stays bound: an unbound parameter is null.
    web::Stmt q(db, sql);
    EXPECT_FALSE(q.Step());
  }
  {
    // A use left on its first row holds nothing: the next one reads from the start.
    web::Stmt all(db, "SELECT id FROM t ORDER BY id");
    ASSERT_TRUE(all.Step());
    ASSERT_TRUE(all.Step());
    EXPECT_EQ(all.Int(0), 2);
  }
  web::Stmt again(db, "SELECT id FROM t ORDER BY id");
  ASSERT_TRUE(again.Step());
  EXPECT_EQ(again.Int(0), 1);
  EXPECT_EQ(Compiled(db), 2);
  // Only the statement in use is running.
  int busy = 0;
  for (sqlite3_stmt* st = sqlite3_next_stmt(db.handle(), nullptr); st; st = sqlite3_next_stmt(db.handle(), st))
    busy += sqlite3_stmt_busy(st) != 0;
  EXPECT_EQ(busy, 1);
}

TEST_F(WebDb, OneTextInUseTwiceAtOnceRunsApartAndOneIsKept) {
  web::Db db(path_, true);
  const std::string sql = "SELECT id FROM t WHERE id >= ? ORDER BY id";
  {
    web::Stmt outer(db, sql);
    outer.Bind(1, int64_t{1});
    ASSERT_TRUE(outer.Step());
    {
      web::Stmt inner(db, sql);
      inner.Bind(1, int64_t{3});
      ASSERT_TRUE(inner.Step());
      EXPECT_EQ(inner.Int(0), 3);
      EXPECT_FALSE(inner.Step());
    }
    ASSERT_TRUE(outer.Step());
    EXPECT_EQ(outer.Int(0), 2);
    EXPECT_EQ(Compiled(db), 2);
  }
  EXPECT_EQ(Compiled(db), 1);
}

TEST_F(WebDb, KeptStatementsAreBoundedAndSurviveAChangedTable) {
  web::Db db(path_, false);
  for (size_t i = 0; i < web::Db::kIdleStatements + 20; ++i) {
    web::Stmt q(db, "SELECT " + std::to_string(i) + " FROM t");
    ASSERT_TRUE(q.Step());
  }
  EXPECT_EQ(Compiled(db), static_cast<int>(web::Db::kIdleStatements));

  const std::string sql = "SELECT * FROM t WHERE id = 1";
  {
    web::Stmt q(db, sql);
    ASSERT_TRUE(q.Step());
  }
  db.Exec("DROP TABLE t; CREATE TABLE t (id INTEGER PRIMARY KEY, name TEXT, extra TEXT); "
          "INSERT INTO t VALUES (1, 'x', 'y');");
  web::Stmt q(db, sql);
  ASSERT_TRUE(q.Step());
  EXPECT_EQ(q.Text(1), "x");
  EXPECT_EQ(q.Text(2), "y");
  // A failed step leaves the statement usable again.
  web::Db reader(path_, true);
  {
    web::Stmt bad(reader, "SELECT abs(-9223372036854775807 - 1) FROM t");
    EXPECT_THROW(bad.Step(), web::DbError);
  }
  web::Stmt again(reader, "SELECT abs(-9223372036854775807 - 1) FROM t");
  EXPECT_THROW(again.Step(), web::DbError);
}

}  // namespace
