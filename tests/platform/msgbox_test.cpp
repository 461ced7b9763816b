// The headless answering policy.
#include <gtest/gtest.h>

#include <cstdlib>
#include <thread>

#include "msgbox.h"

namespace {
using namespace msgbox;

const char kLockText[] = "Database is temporarily locked by another process.\r\nmore";

TEST(HeadlessMessageBoxesTest, AnswersByKindAndWritesEveryBoxToStandardError) {
  HeadlessMessageBoxes boxes(std::chrono::milliseconds(200));
  testing::internal::CaptureStderr();
  EXPECT_EQ(boxes.Show("Some failure", vbOKOnly, "Error: X", Kind::Message), vbOK);
  EXPECT_EQ(boxes.Show("An error occured...", vbYesNoCancel, "Record is Locked", Kind::Message), vbNo);
  // The kind decides, not the wording.
  EXPECT_EQ(boxes.Show(kLockText, vbYesNoCancel, "Record is Locked", Kind::Message), vbNo);
  EXPECT_EQ(boxes.Show("Logon is invalid.  Try again?", vbOKCancel, "Logon Failed", Kind::Message), vbCancel);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("Error: X"), std::string::npos);
  EXPECT_NE(err.find("Some failure\n[OK]\nAnswer: OK"), std::string::npos) << err;
  EXPECT_NE(err.find("Answer: No"), std::string::npos);
  EXPECT_NE(err.find("Answer: Cancel"), std::string::npos);
}

TEST(HeadlessMessageBoxesTest, LockPromptIsAnsweredYesUntilTheStatementHasWaitedTheBudget) {
  HeadlessMessageBoxes boxes(std::chrono::milliseconds(150));
  testing::internal::CaptureStderr();
  {
    WaitScope wait;
    EXPECT_EQ(boxes.Show(kLockText, vbYesNoCancel, "Record is Locked", Kind::LockPrompt), vbYes);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(boxes.Show(kLockText, vbYesNoCancel, "Record is Locked", Kind::LockPrompt), vbNo);
  }
  {
    WaitScope next_statement;   // each statement has its own budget
    EXPECT_EQ(boxes.Show(kLockText, vbYesNoCancel, "Record is Locked", Kind::LockPrompt), vbYes);
  }
  testing::internal::GetCapturedStderr();
}

TEST(HeadlessMessageBoxesTest, BudgetComesFromTheEnvironmentWhenValid) {
  ::setenv("TALLY_LOCK_BUDGET", "2.5", 1);
  EXPECT_EQ(HeadlessMessageBoxes::DefaultLockBudget(), std::chrono::milliseconds(2500));
  ::setenv("TALLY_LOCK_BUDGET", "soon", 1);
  EXPECT_EQ(HeadlessMessageBoxes::DefaultLockBudget(), std::chrono::seconds(60));
  ::unsetenv("TALLY_LOCK_BUDGET");
}

}  // namespace
