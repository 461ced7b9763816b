// The registry stand-in: keys, values and their limits, on real files.
#include <gtest/gtest.h>

#include <thread>

#include "registry.h"
#include "test_env.h"

namespace {
using namespace registry;

TEST(RegistryTest, CreateWriteReadWithCaseInsensitiveKeysAndNames) {
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
}

TEST(RegistryTest, QueryReportsByteCountWithNulAndRefusesSmallBuffers) {
  testkit::TempDir dir;
  HKEY key;
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
}

TEST(RegistryTest, OpenMissingKeyFailsAndDeleteRemovesTheTree) {
  testkit::TempDir dir;
  HKEY key;
  EXPECT_EQ(RegOpenKeyExA(RootKey(Hive::ClassesRoot), "Nope", kKeyRead, &key), kFileNotFound);
  RegCreateKeyExA(RootKey(Hive::ClassesRoot), "Clsid\\{X}\\InprocServer32", kKeyAllAccess, &key);
  RegSetValueText(key, "", "/opt/lib.so");
  EXPECT_EQ(RegDeleteKeyA(RootKey(Hive::ClassesRoot), "Clsid\\{X}"), kSuccess);
  EXPECT_EQ(RegOpenKeyExA(RootKey(Hive::ClassesRoot), "Clsid\\{X}\\InprocServer32", kKeyRead, &key),
            kFileNotFound);
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

}  // namespace
