// The registry stand-in (keys, values and their limits, on real files), the
// program folder read from a registration, and the headless message boxes.
#include <gtest/gtest.h>

#include <cstdlib>
#include <stdexcept>
#include <thread>

#include "com.h"
#include "msgbox.h"
#include "program_folder.h"
#include "registry.h"
#include "test_env.h"

namespace {
using namespace registry;
using namespace msgbox;

TEST(RegistryTest, KeysValuesAndTheirLimits) {
  testkit::TempDir dir;
  HKEY key, again;
  ASSERT_EQ(RegCreateKeyExA(RootKey(Hive::Users), ".Default\\Software\\Fragledger\\Tallyhost",
                            kListenerAccess, &key), kSuccess);
  ASSERT_EQ(RegSetValueText(key, "Column(1)Width", "1234.5"), kSuccess);
  ASSERT_EQ(RegOpenKeyExA(RootKey(Hive::Users), ".DEFAULT\\software\\fragledger\\TALLYHOST",
                          kKeyRead, &again), kSuccess);
  std::string text;
  ASSERT_EQ(RegQueryValueText(again, "column(1)width", &text), kSuccess);
  EXPECT_EQ(text, "1234.5");

  // A query reports the byte count with the NUL and refuses small buffers.
  RegCreateKeyExA(RootKey(Hive::ClassesRoot), "A\\B", kKeyAllAccess, &key);
  RegSetValueText(key, "", "");
  char buf[255];
  uint32_t len = sizeof buf;
  ASSERT_EQ(RegQueryValueExA(key, "", buf, &len), kSuccess);
  EXPECT_EQ(len, 1u);   // an empty value is present, not missing
  RegSetValueText(key, "v", std::string(300, 'x'));
  len = sizeof buf;
  EXPECT_EQ(RegQueryValueExA(key, "v", buf, &len), kMoreData);
  len = sizeof buf;
  EXPECT_EQ(RegQueryValueExA(key, "absent", buf, &len), kFileNotFound);
  EXPECT_EQ(len, sizeof buf);

  // A missing key cannot be opened; deleting a key removes its tree.
  EXPECT_EQ(RegOpenKeyExA(RootKey(Hive::ClassesRoot), "Nope", kKeyRead, &key), kFileNotFound);
  RegCreateKeyExA(RootKey(Hive::ClassesRoot), "Clsid\\{X}\\InprocServer32", kKeyAllAccess, &key);
  RegSetValueText(key, "", "/opt/lib.so");
  EXPECT_EQ(RegDeleteKeyA(RootKey(Hive::ClassesRoot), "Clsid\\{X}"), kSuccess);
  EXPECT_EQ(RegOpenKeyExA(RootKey(Hive::ClassesRoot), "Clsid\\{X}\\InprocServer32", kKeyRead, &key),
            kFileNotFound);
}

// The once-per-process form keeps its first answer for a registry root.
TEST(RegistryTest, ProgramFolderFollowsTheRegistrationOrFallsBack) {
  testkit::TempDir dir;
  auto locate = [] { return RegisteredProgramFolder("Tally.Class", "libtallycore.so", "/default"); };
  auto reg = [](const std::string& path) {
    com::RegisterClass("Tally.Class", com::Guid{1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}}, path);
  };
  EXPECT_EQ(locate(), "/default");
  // A class's key is named by its identifier in the registry's form.
  const com::Guid id{0x6B7E2F3A, 0x1C4D, 0x4E8B, {0x9A, 0x2F, 0x5D, 0x3C, 0x7B, 0x1E, 0x9F, 0x04}};
  EXPECT_EQ(id.ToString(), "{6B7E2F3A-1C4D-4E8B-9A2F-5D3C7B1E9F04}");
  com::Guid back;
  ASSERT_TRUE(com::Guid::Parse(id.ToString(), &back));
  EXPECT_EQ(back.ToString(), id.ToString());
  reg("/Apps/Tally/LIBTALLYCORE.SO");   // matched without regard to case
  EXPECT_EQ(locate(), "/Apps/Tally");
  EXPECT_EQ(RegisteredProgramFolderOnce("Tally.Class", "libtallycore.so", "/default"), "/Apps/Tally");
  reg("/libtallycore.so");   // at the root: the empty folder
  EXPECT_EQ(locate(), "");
  EXPECT_EQ(RegisteredProgramFolderOnce("Tally.Class", "libtallycore.so", "/default"), "/Apps/Tally");
  reg("/opt/other.so");
  EXPECT_EQ(locate(), "/default");
  reg("libtallycore.so");   // no folder in front: cannot be cut
  EXPECT_THROW(locate(), std::out_of_range);
  reg(std::string(300, 'x') + "/libtallycore.so");   // longer than the 255-byte buffer
  EXPECT_EQ(locate(), "/default");
  {
    testkit::TempDir other;   // another registry root is read afresh
    EXPECT_EQ(RegisteredProgramFolderOnce("Tally.Class", "libtallycore.so", "/default"), "/default");
  }
  EXPECT_EQ(RunningProgramFolder(), testkit::BinaryFolder());
}

TEST(RegistryTest, ConcurrentWritersAlwaysLeaveAWholeValue) {
  testkit::TempDir dir;
  HKEY key;
  RegCreateKeyExA(RootKey(Hive::Users), "K", kKeyAllAccess, &key);
  std::string a(200, 'a'), b(100, 'b');
  std::thread w1([&] { for (int i = 0; i < 200; ++i) RegSetValueText(key, "v", a); });
  std::thread w2([&] { for (int i = 0; i < 200; ++i) RegSetValueText(key, "v", b); });
  for (int i = 0; i < 200; ++i) {
    std::string text;
    if (RegQueryValueText(key, "v", &text) == kSuccess) {
      EXPECT_TRUE(text == a || text == b);
    }
  }
  w1.join();
  w2.join();
}

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
  for (const char* written : {"Error: X", "Some failure\n[OK]\nAnswer: OK", "Answer: No", "Answer: Cancel"})
    EXPECT_NE(err.find(written), std::string::npos) << err;
}

// The budget comes from TALLY_LOCK_BUDGET when valid.
TEST(HeadlessMessageBoxesTest, LockPromptIsAnsweredYesUntilTheStatementHasWaitedTheBudget) {
  ::setenv("TALLY_LOCK_BUDGET", "2.5", 1);
  EXPECT_EQ(HeadlessMessageBoxes::DefaultLockBudget(), std::chrono::milliseconds(2500));
  ::setenv("TALLY_LOCK_BUDGET", "soon", 1);
  EXPECT_EQ(HeadlessMessageBoxes::DefaultLockBudget(), std::chrono::seconds(60));
  ::unsetenv("TALLY_LOCK_BUDGET");
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

}  // namespace
