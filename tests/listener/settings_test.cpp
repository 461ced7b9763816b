// Settings and the program folder on the registry stand-in.
#include <gtest/gtest.h>

#include "com.h"
#include "prog_path_module.h"
#include "registry.h"
#include "test_env.h"
#include "text_rules.h"

using namespace tallyhost;

TEST(Settings, MissingMarkerKeysAndEmptyValues) {
  testkit::TempDir tmp;
  EXPECT_EQ(ReadSetting("Tallyhost", "WindowTop"), std::string(254, ' '));
  registry::HKEY k;
  EXPECT_EQ(registry::RegOpenKeyExA(registry::RootKey(registry::Hive::Users),
                                    ".Default\\Software\\Fragledger\\Tallyhost",
                                    registry::kKeyRead, &k),
            registry::kSuccess);
  WriteSetting("Tallyhost", "WindowTop", "1234.5");
  EXPECT_EQ(ReadSetting("Tallyhost", "WindowTop"), "1234.5");
  WriteSetting("Tallyhost", "Column(1)Width", "");
  EXPECT_EQ(ReadSetting("Tallyhost", "Column(1)Width"), "");
}

TEST(Settings, ProgramFolderFollowsTheRegistrationOrFallsBack) {
  testkit::TempDir tmp;
  auto locate = [] {
    return LocateProgramFolder("Tallycore.Score_Class", "libtallycore.so", "/default");
  };
  auto reg = [](const std::string& path) {
    com::RegisterClass("Tallycore.Score_Class", com::Guid{1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}},
                       path);
  };
  EXPECT_EQ(locate(), "/default");
  EXPECT_EQ(DefaultProgramFolder(), tmp.path() + "/data/tallyhost");
  reg("/Apps/Tally/LIBTALLYCORE.SO");   // matched without regard to case
  EXPECT_EQ(locate(), "/Apps/Tally");
  reg("/libtallycore.so");
  EXPECT_EQ(locate(), "");
  reg("/opt/other.so");
  EXPECT_EQ(locate(), "/default");
  reg("libtallycore.so");   // no folder in front: cannot be cut
  EXPECT_THROW(locate(), Failure);
}
