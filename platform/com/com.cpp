#include "com.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>

#include "program_folder.h"
#include "registry.h"

namespace com {

const Guid IID_IUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
const Guid IID_IClassFactory = {0x00000001, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

bool Guid::operator==(const Guid& o) const {
  return d1 == o.d1 && d2 == o.d2 && d3 == o.d3 && std::memcmp(d4, o.d4, 8) == 0;
}

std::string Guid::ToString() const {
  // {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}, upper-case hexadecimal digits.
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(38);
  auto hex = [&](uint64_t v, int digits) {
    for (int shift = 4 * (digits - 1); shift >= 0; shift -= 4) out += kHex[(v >> shift) & 0xF];
  };
  out += '{';
  hex(d1, 8);
  out += '-';
  hex(d2, 4);
  out += '-';
  hex(d3, 4);
  out += '-';
  hex(d4[0], 2);
  hex(d4[1], 2);
  out += '-';
  for (int i = 2; i < 8; ++i) hex(d4[i], 2);
  out += '}';
  return out;
}

bool Guid::Parse(const std::string& text, Guid* out) {
  unsigned a, b, c, e[8];
  if (text.size() != 38) return false;
  if (std::sscanf(text.c_str(), "{%8x-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x}", &a, &b, &c, &e[0],
                  &e[1], &e[2], &e[3], &e[4], &e[5], &e[6], &e[7]) != 11)
    return false;
  out->d1 = a;
  out->d2 = static_cast<uint16_t>(b);
  out->d3 = static_cast<uint16_t>(c);
  for (int i = 0; i < 8; ++i) out->d4[i] = static_cast<uint8_t>(e[i]);
  return true;
}

std::string LibraryPathOf(const void* address) {
  Dl_info info{};
  if (::dladdr(address, &info) == 0 || !info.dli_fname) return {};
  char resolved[4096];
  if (::realpath(info.dli_fname, resolved)) return resolved;
  return info.dli_fname;
}

namespace {

std::mutex g_mu;
// path -> the library's DllGetClassObject (null: it exports none); never unloaded
std::map<std::string, DllGetClassObjectFn> g_loaded;

DllGetClassObjectFn LoadEntry(const std::string& path, std::string* error) {
  std::lock_guard<std::mutex> lock(g_mu);
  auto it = g_loaded.find(path);
  if (it == g_loaded.end()) {
    void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
      if (error) *error = ::dlerror();
      return nullptr;
    }
    it = g_loaded.emplace(path, reinterpret_cast<DllGetClassObjectFn>(::dlsym(handle, "DllGetClassObject"))).first;
  }
  if (!it->second && error) *error = path + " does not export DllGetClassObject";
  return it->second;
}

std::string RegisteredLibrary(const Guid& clsid) {
  registry::HKEY key;
  if (registry::RegOpenKeyExA(registry::RootKey(registry::Hive::ClassesRoot),
                              "Clsid\\" + clsid.ToString() + "\\InprocServer32",
                              registry::kKeyRead, &key) != registry::kSuccess)
    return {};
  std::string path;
  if (registry::RegQueryValueText(key, "", &path) != registry::kSuccess) return {};
  return path;
}

HRESULT CreateFrom(DllGetClassObjectFn fn, const Guid& clsid, const Guid& iid, void** object) {
  IClassFactory* factory = nullptr;
  HRESULT hr = fn(clsid, IID_IClassFactory, reinterpret_cast<void**>(&factory));
  if (hr != S_OK || !factory) return hr == S_OK ? E_FAIL : hr;
  hr = factory->CreateInstance(nullptr, iid, object);
  factory->Release();
  return hr;
}

}  // namespace

HRESULT CoCreateInstance(const Guid& clsid, const Guid& iid, void** object,
                         const std::string& fallback_library, std::string* error) {
  if (!object) return E_POINTER;
  *object = nullptr;
  std::string reason;
  std::string registered = RegisteredLibrary(clsid);
  if (!registered.empty()) {
    if (auto fn = LoadEntry(registered, &reason)) {
      HRESULT hr = CreateFrom(fn, clsid, iid, object);
      if (hr == S_OK) return hr;
      reason = "class factory of " + registered + " failed";
    }
  }
  if (!fallback_library.empty()) {
    std::string beside = registry::RunningProgramFolder() + "/" + fallback_library;
    std::string why;
    if (auto fn = LoadEntry(beside, &why)) {
      HRESULT hr = CreateFrom(fn, clsid, iid, object);
      if (hr == S_OK) return hr;
      why = "class factory of " + beside + " failed";
    }
    reason += (reason.empty() ? "" : "; ") + why;
  }
  if (error) {
    *error = "Class " + clsid.ToString() + " is not registered" +
             (reason.empty() ? std::string() : " (" + reason + ")");
  }
  return REGDB_E_CLASSNOTREG;
}

HRESULT RegisterClass(const std::string& prog_id, const Guid& clsid,
                      const std::string& library_path) {
  using namespace registry;
  HKEY root = RootKey(Hive::ClassesRoot), key;
  if (RegCreateKeyExA(root, prog_id + "\\Clsid", kKeyAllAccess, &key) != kSuccess ||
      RegSetValueText(key, "", clsid.ToString()) != kSuccess)
    return SELFREG_E_CLASS;
  if (RegCreateKeyExA(root, "Clsid\\" + clsid.ToString() + "\\InprocServer32", kKeyAllAccess,
                      &key) != kSuccess ||
      RegSetValueText(key, "", library_path) != kSuccess)
    return SELFREG_E_CLASS;
  RegSetValueText(key, "ThreadingModel", "Apartment");
  return S_OK;
}

HRESULT UnregisterClass(const std::string& prog_id, const Guid& clsid) {
  using namespace registry;
  HKEY root = RootKey(Hive::ClassesRoot);
  RegDeleteKeyA(root, prog_id);
  RegDeleteKeyA(root, "Clsid\\" + clsid.ToString());
  return S_OK;
}

}  // namespace com
