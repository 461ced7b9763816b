// com: an in-process component model in the manner of COM.
//
// A component library exports, with C linkage, DllGetClassObject,
// DllRegisterServer, DllUnregisterServer and DllCanUnloadNow. Registration
// writes two keys under HKEY_CLASSES_ROOT of the registry stand-in:
//   <ProgID>\Clsid                  default value: the class identifier
//   Clsid\<class id>\InprocServer32 default value: the library's full path
// CoCreateInstance finds the library of a class by those keys and loads it
// with dlopen; when the class is not registered it falls back to the given
// library file name in the folder of the running program.
//
// Objects are reference counted (AddRef/Release); ComPtr holds one reference.
// Failures of calls on objects are thrown as com::Error (a 32-bit number and
// a description), the way a caller sees a failed automation call.
//
// Thread safety: CoCreateInstance may be called from any thread; loaded
// libraries stay loaded for the life of the process.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>

namespace com {

using HRESULT = int32_t;
constexpr HRESULT S_OK = 0;
constexpr HRESULT S_FALSE = 1;
constexpr HRESULT E_NOINTERFACE = static_cast<HRESULT>(0x80004002);
constexpr HRESULT E_NOTIMPL = static_cast<HRESULT>(0x80004001);
constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005);
constexpr HRESULT E_POINTER = static_cast<HRESULT>(0x80004003);
constexpr HRESULT CLASS_E_CLASSNOTAVAILABLE = static_cast<HRESULT>(0x80040111);
constexpr HRESULT CLASS_E_NOAGGREGATION = static_cast<HRESULT>(0x80040110);
constexpr HRESULT REGDB_E_CLASSNOTREG = static_cast<HRESULT>(0x80040154);
constexpr HRESULT SELFREG_E_CLASS = static_cast<HRESULT>(0x80040201);

struct Guid {
  uint32_t d1;
  uint16_t d2, d3;
  uint8_t d4[8];
  bool operator==(const Guid& o) const;
  // "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}"
  std::string ToString() const;
  static bool Parse(const std::string& text, Guid* out);
};

extern const Guid IID_IUnknown;
extern const Guid IID_IClassFactory;

class Error : public std::runtime_error {
 public:
  Error(int32_t number, const std::string& description)
      : std::runtime_error(description), number_(number) {}
  int32_t Number() const { return number_; }
  std::string Description() const { return what(); }

 private:
  int32_t number_;
};

class IUnknown {
 public:
  virtual HRESULT QueryInterface(const Guid& iid, void** object) = 0;
  virtual uint32_t AddRef() = 0;
  virtual uint32_t Release() = 0;

 protected:
  virtual ~IUnknown() = default;
};

// The automation members that precede a class's own members in its default
// interface. Late binding is not offered: each answers E_NOTIMPL.
class IDispatch : public IUnknown {
 public:
  virtual HRESULT GetTypeInfoCount(uint32_t* count) = 0;
  virtual HRESULT GetTypeInfo(uint32_t index, uint32_t lcid, void** info) = 0;
  virtual HRESULT GetIDsOfNames(const Guid& iid, const char** names, uint32_t count,
                                uint32_t lcid, int32_t* ids) = 0;
  virtual HRESULT Invoke(int32_t id, const Guid& iid, uint32_t lcid, uint16_t flags,
                         void* params, void* result, void* exception, uint32_t* arg_error) = 0;
};

class IClassFactory : public IUnknown {
 public:
  virtual HRESULT CreateInstance(IUnknown* outer, const Guid& iid, void** object) = 0;
  virtual HRESULT LockServer(bool lock) = 0;
};

// Holds one reference.
template <class T>
class ComPtr {
 public:
  ComPtr() = default;
  explicit ComPtr(T* p) : p_(p) {}   // adopts a reference
  ComPtr(const ComPtr& o) : p_(o.p_) { if (p_) p_->AddRef(); }
  ComPtr(ComPtr&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  ComPtr& operator=(ComPtr o) { std::swap(p_, o.p_); return *this; }
  ~ComPtr() { if (p_) p_->Release(); }
  T* operator->() const { return p_; }
  T* get() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }
  void Reset() { ComPtr().swap(*this); }
  void swap(ComPtr& o) { std::swap(p_, o.p_); }
  T** Receive() { Reset(); return &p_; }

 private:
  T* p_ = nullptr;
};

using DllGetClassObjectFn = HRESULT (*)(const Guid& clsid, const Guid& iid, void** object);

// Creates an object of a class. `fallback_library` is the library file name
// looked for beside the program when the class is not registered. Returns
// REGDB_E_CLASSNOTREG when no library offers the class; `error` receives a
// description of what failed.
HRESULT CoCreateInstance(const Guid& clsid, const Guid& iid, void** object,
                         const std::string& fallback_library, std::string* error = nullptr);

// Registration helpers for a library's DllRegisterServer and
// DllUnregisterServer.
HRESULT RegisterClass(const std::string& prog_id, const Guid& clsid,
                      const std::string& library_path);
HRESULT UnregisterClass(const std::string& prog_id, const Guid& clsid);

// The full path of the shared library that holds `address`.
std::string LibraryPathOf(const void* address);

}  // namespace com
