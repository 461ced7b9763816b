// Registration and creation of Score_Class through the component model.
#include "engine_fixture.h"
#include "registry.h"
#include "score_module.h"

#include <dlfcn.h>

namespace enginetest {
namespace {

using RegFn = com::HRESULT (*)();

RegFn Entry(const char* name) {
  void* lib = dlopen((testkit::BinaryFolder() + "/libtallycore.so").c_str(), RTLD_NOW | RTLD_LOCAL);
  return lib ? reinterpret_cast<RegFn>(dlsym(lib, name)) : nullptr;
}

std::string DefaultValue(const std::string& key_path) {
  registry::HKEY key;
  if (registry::RegOpenKeyExA(registry::RootKey(registry::Hive::ClassesRoot), key_path,
                              registry::kKeyRead, &key) != registry::kSuccess) return "<missing>";
  std::string v;
  registry::RegQueryValueText(key, "", &v);
  return v;
}

TEST(ComTest, RegisterWritesBothKeysAndTheProgramFolderFollowsThem) {
  testkit::TempDir dir;
  RegFn reg = Entry("DllRegisterServer"), unreg = Entry("DllUnregisterServer");
  ASSERT_TRUE(reg && unreg);
  ASSERT_EQ(reg(), com::S_OK);
  std::string clsid = tallycore::CLSID_Score_Class.ToString();
  EXPECT_EQ(DefaultValue("Tallycore.Score_Class\\Clsid"), clsid);
  std::string lib = DefaultValue("Clsid\\" + clsid + "\\InprocServer32");
  EXPECT_EQ(lib, testkit::BinaryFolder() + "/libtallycore.so");
  EXPECT_EQ(tallycore::LocateProgramFolder("Tallycore.Score_Class", "LIBTALLYCORE.SO", "/default"),
            testkit::BinaryFolder());

  ASSERT_EQ(unreg(), com::S_OK);
  EXPECT_EQ(DefaultValue("Clsid\\" + clsid + "\\InprocServer32"), "<missing>");
  EXPECT_EQ(DefaultValue("Tallycore.Score_Class\\Clsid"), "<missing>");
}

TEST(ComTest, UnregisteredClassIsCreatedFromTheLibraryBesideTheProgram) {
  testkit::TempDir dir;
  com::ComPtr<tallycore::_Score_Class> engine;
  ASSERT_EQ(com::CoCreateInstance(tallycore::CLSID_Score_Class, tallycore::IID__Score_Class,
                                  reinterpret_cast<void**>(engine.Receive()), tallycore::kLibraryName),
            com::S_OK);
  engine->put_ListenPort(4242);
  com::ComPtr<tallycore::_Score_Class> second;
  com::CoCreateInstance(tallycore::CLSID_Score_Class, tallycore::IID__Score_Class,
                        reinterpret_cast<void**>(second.Receive()), tallycore::kLibraryName);
  EXPECT_EQ(second->get_ListenPort(), 4242);   // property values are shared on the thread

  com::ComPtr<tallycore::_Score_Class> none;
  std::string why;
  com::Guid other = tallycore::CLSID_Score_Class;
  other.d1 ^= 1;
  EXPECT_EQ(com::CoCreateInstance(other, tallycore::IID__Score_Class,
                                  reinterpret_cast<void**>(none.Receive()), "no-such-lib.so", &why),
            com::REGDB_E_CLASSNOTREG);
  EXPECT_FALSE(why.empty());
}

}  // namespace
}  // namespace enginetest
