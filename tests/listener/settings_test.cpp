// Settings and the program folder on the registry stand-in.
#include <gtest/gtest.h>

#include "prog_path_module.h"
#include "registry.h"
#include "test_env.h"
#include "text_rules.h"

using namespace tallyhost;

namespace {
void Register(const std::string& library_path) {
  registry::HKEY root = registry::RootKey(registry::Hive::ClassesRoot), k;
  ASSERT_EQ(registry::RegCreateKeyExA(root, "Tallycore.Score_Class\\Clsid",
                                      registry::kKeyAllAccess, &k),
            registry::kSuccess);
  registry::RegSetValueText(k, "", "{6B7E2F3A-1C4D-4E8B-9A2F-5D3C7B1E9F04}");
  ASSERT_EQ(registry::RegCreateKeyExA(
                root, "Clsid\\{6B7E2F3A-1C4D-4E8B-9A2F-5D3C7B1E9F04}\\InprocServer32",
                registry::kKeyAllAccess, &k),
            registry::kSuccess);
  registry::RegSetValueText(k, "", library_path);
}
}  // namespace

TEST(Settings, FirstReadCreatesTheKeyAndReturnsTheMarker) {
  testkit::TempDir tmp;
  EXPECT_EQ(ReadSetting("Tallyhost", "WindowTop"), std::string(254, ' '));
  registry::HKEY k;
  EXPECT_EQ(registry::RegOpenKeyExA(registry::RootKey(registry::Hive::Users),
                                    ".Default\\Software\\Fragledger\\Tallyhost",
                                    registry::kKeyRead, &k),
            registry::kSuccess);
}

TEST(Settings, WrittenValuesReadBackAndEmptyIsNotMissing) {
  testkit::TempDir tmp;
  WriteSetting("Tallyhost", "WindowTop", "1234.5");
  EXPECT_EQ(ReadSetting("Tallyhost", "WindowTop"), "1234.5");
  WriteSetting("Tallyhost", "Column(1)Width", "");
  EXPECT_EQ(ReadSetting("Tallyhost", "Column(1)Width"), "");
}

TEST(ProgramFolder, NotRegisteredGivesTheDefault) {
  testkit::TempDir tmp;
  EXPECT_EQ(LocateProgramFolder("Tallycore.Score_Class", "libtallycore.so", "/default"),
            "/default");
  EXPECT_EQ(DefaultProgramFolder(), tmp.path() + "/data/tallyhost");
}

TEST(ProgramFolder, NameIsMatchedWithoutRegardToCase) {
  testkit::TempDir tmp;
  Register("/Apps/Tally/LIBTALLYCORE.SO");
  EXPECT_EQ(LocateProgramFolder("Tallycore.Score_Class", "libtallycore.so", "/default"),
            "/Apps/Tally");
}

TEST(ProgramFolder, LibraryInTheRootAndWithoutFolder) {
  testkit::TempDir tmp;
  Register("/libtallycore.so");
  EXPECT_EQ(LocateProgramFolder("Tallycore.Score_Class", "libtallycore.so", "/default"), "");
  Register("libtallycore.so");
  EXPECT_THROW(LocateProgramFolder("Tallycore.Score_Class", "libtallycore.so", "/default"),
               Failure);
  Register("/opt/other.so");
  EXPECT_EQ(LocateProgramFolder("Tallycore.Score_Class", "libtallycore.so", "/default"),
            "/default");
}
