// Fault injection: chosen operations fail before they reach the database.
#include <gtest/gtest.h>

#include "ado.h"
#include "fault_injection.h"
#include "test_env.h"

namespace {

class AdoFault : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = dir_.File("f.mdb");
    testkit::Touch(path_);
    cs_ = "Provider=SQLite;Data Source=" + path_;
    ado::Connection c;
    c.Open(cs_);
    c.Execute("Create Table Types (Record INTEGER Constraint CU16 Unique, Type VARCHAR (50), Date_Time DATETIME)");
  }
  int64_t Count(ado::Connection& c) {
    return c.Execute("Select Count(*) As N From Types")->Field("N").AsInteger();
  }
  testkit::TempDir dir_;
  std::string path_, cs_;
};

TEST_F(AdoFault, NthMatchingOperationFailsAndHasNoEffect) {
  ado::Connection c;
  c.Open(cs_);
  auto plan = std::make_shared<ado::fault::FaultPlan>();
  plan->Fail({ado::fault::kExecute, "Insert into Types", 2, 2, ado::fault::LockConflict()});
  ado::fault::Wrap(c, plan);

  c.Execute("Insert into Types values ( 1, 'a', 0 )");
  for (int attempt = 0; attempt < 2; ++attempt) {
    try {
      c.Execute("Insert into Types values ( 2, 'b', 0 )");
      ADD_FAILURE() << "no injected failure";
    } catch (const ado::Error& e) {
      EXPECT_EQ(e.Number(), ado::kErrProvider);
      EXPECT_NE(e.Description().find("locked"), std::string::npos);
    }
  }
  EXPECT_EQ(Count(c), 1);   // the failed inserts did not run
  c.Execute("Insert into Types values ( 2, 'b', 0 )");
  EXPECT_EQ(Count(c), 2);
  EXPECT_EQ(plan->Injected(), 2);
  const auto log = plan->Log();
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(log.front(), "Execute: Insert into Types values ( 1, 'a', 0 )");
}

TEST_F(AdoFault, ScopedInjectionReachesConnectionsOpenedMeanwhile) {
  auto plan = std::make_shared<ado::fault::FaultPlan>();
  plan->Fail({ado::fault::kCommit, "", 1, -1, ado::fault::DuplicateKey()});
  {
    ado::fault::ScopedInjection scope(plan);
    ado::Connection c;
    c.Open(cs_);
    c.BeginTrans();
    c.Execute("Insert into Types values ( 1, 'a', 0 )");
    EXPECT_THROW(c.CommitTrans(), ado::Error);
    EXPECT_THROW(c.CommitTrans(), ado::Error);
    EXPECT_TRUE(c.InTransaction());
    c.RollbackTrans();
    EXPECT_EQ(Count(c), 0);
  }
  ado::Connection after;
  after.Open(cs_);
  after.BeginTrans();
  after.Execute("Insert into Types values ( 1, 'a', 0 )");
  EXPECT_NO_THROW(after.CommitTrans());
  EXPECT_EQ(plan->Injected(), 2);
}

TEST_F(AdoFault, AddingRowsCanBeMadeToFail) {
  ado::Connection c;
  c.Open(cs_);
  auto plan = std::make_shared<ado::fault::FaultPlan>();
  plan->Fail({ado::fault::kInsert, "Types", 1, 1, ado::Error(-2147217887, "Disk on fire")});
  ado::fault::Wrap(c, plan);
  ado::Recordset rs;
  rs.Open("Select * From Types", c, ado::kOpenDynamic, ado::kLockOptimistic);
  rs.AddNew();
  rs.SetField("Record", ado::Value::Integer(1));
  EXPECT_THROW(rs.Update(), ado::Error);
  rs.Update();   // the pending row is kept for the retry
  EXPECT_EQ(Count(c), 1);
}

}  // namespace
