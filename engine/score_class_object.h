// The engine side of the component: the class factory behind
// DllGetClassObject and the count of live objects behind DllCanUnloadNow.
#pragma once

#include <atomic>

#include "com.h"
#include "score_class.h"

namespace tallycore {

extern std::atomic<long> g_live_objects;
com::HRESULT GetClassObject(const com::Guid& clsid, const com::Guid& iid, void** object);

}  // namespace tallycore
