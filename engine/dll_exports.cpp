// The four entry points of the component library.
#include "com.h"
#include "score_class.h"
#include "score_class_object.h"

#define TALLY_EXPORT extern "C" __attribute__((visibility("default")))

TALLY_EXPORT com::HRESULT DllGetClassObject(const com::Guid& clsid, const com::Guid& iid,
                                            void** object) {
  return tallycore::GetClassObject(clsid, iid, object);
}

TALLY_EXPORT com::HRESULT DllCanUnloadNow() {
  return tallycore::g_live_objects.load() == 0 ? com::S_OK : com::S_FALSE;
}

TALLY_EXPORT com::HRESULT DllRegisterServer() {
  std::string path = com::LibraryPathOf(reinterpret_cast<const void*>(&DllRegisterServer));
  if (path.empty()) return com::SELFREG_E_CLASS;
  return com::RegisterClass(tallycore::kProgID, tallycore::CLSID_Score_Class, path);
}

TALLY_EXPORT com::HRESULT DllUnregisterServer() {
  return com::UnregisterClass(tallycore::kProgID, tallycore::CLSID_Score_Class);
}
