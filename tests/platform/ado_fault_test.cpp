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
    Open(c_);
    c_.Execute("Create Table Types (Record INTEGER Constraint CU16 Unique, Type VARCHAR (50), Date_Time DATETIME)");
  }
  void Open(ado::Connection& c) { c.Open("Provider=SQLite;Data Source=" + path_); }
  int64_t Count() { return c_.Execute("Select Count(*) As N From Types")->Field("N").AsInteger(); }
  testkit::TempDir dir_;
  std::string path_;
  ado::Connection c_;
  std::shared_ptr<ado::fault::FaultPlan> plan_ = std::make_shared<ado::fault::FaultPlan>();
};

TEST_F(AdoFault, NthMatchingOperationsFailWithoutEffectAndAFailedUpdateKeepsItsRow) {
  plan_->Fail({ado::fault::kExecute, "Insert into Types", 2, 2, ado::fault::LockConflict()});
  plan_->Fail({ado::fault::kInsert, "Types", 1, 1, ado::Error(-2147217887, "Disk on fire")});
  ado::fault::Wrap(c_, plan_);
  c_.Execute("Insert into Types values ( 1, 'a', 0 )");
  for (int attempt = 0; attempt < 2; ++attempt) {
    try {
      c_.Execute("Insert into Types values ( 2, 'b', 0 )");
      ADD_FAILURE() << "no injected failure";
    } catch (const ado::Error& e) {
      EXPECT_EQ(e.Number(), ado::kErrProvider);
      EXPECT_NE(e.Description().find("locked"), std::string::npos);
    }
  }
  EXPECT_EQ(Count(), 1);   // the failed inserts did not run
  c_.Execute("Insert into Types values ( 2, 'b', 0 )");
  EXPECT_EQ(plan_->Log().front(), "Execute: Insert into Types values ( 1, 'a', 0 )");

  ado::Recordset rs;
  rs.Open("Select * From Types", c_, ado::kOpenDynamic, ado::kLockOptimistic);
  rs.AddNew();
  rs.SetField("Record", ado::Value::Integer(3));
  EXPECT_THROW(rs.Update(), ado::Error);
  rs.Update();   // the pending row was kept for the retry
  EXPECT_EQ(Count(), 3);
  EXPECT_EQ(plan_->Injected(), 3);
}

TEST_F(AdoFault, ScopedInjectionReachesConnectionsOpenedMeanwhile) {
  plan_->Fail({ado::fault::kCommit, "", 1, -1, ado::fault::DuplicateKey()});
  {
    ado::fault::ScopedInjection scope(plan_);
    ado::Connection c;
    Open(c);
    c.BeginTrans();
    c.Execute("Insert into Types values ( 1, 'a', 0 )");
    EXPECT_THROW(c.CommitTrans(), ado::Error);
    EXPECT_THROW(c.CommitTrans(), ado::Error);
    EXPECT_TRUE(c.InTransaction());
    c.RollbackTrans();
    EXPECT_EQ(Count(), 0);
  }
  ado::Connection after;
  Open(after);
  after.BeginTrans();
  after.Execute("Insert into Types values ( 1, 'a', 0 )");
  EXPECT_NO_THROW(after.CommitTrans());
  EXPECT_EQ(plan_->Injected(), 2);
}

}  // namespace
