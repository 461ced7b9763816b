// Score_Class: the COM object. Its properties live in the thread's
// EngineState; Process runs one pass.
#include "score_class_object.h"

#include <atomic>

#include "score_module.h"

namespace tallycore {

// {00020400-0000-0000-C000-000000000046}
static const com::Guid IID_IDispatch = {0x00020400, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

std::atomic<long> g_live_objects{0};

namespace {

class Score_Class final : public _Score_Class, public IScoreReport, public IDatagramIdentity {
 public:
  Score_Class() { ++g_live_objects; }
  ~Score_Class() override { --g_live_objects; }

  com::HRESULT QueryInterface(const com::Guid& iid, void** object) override {
    if (!object) return com::E_POINTER;
    if (iid == com::IID_IUnknown || iid == IID_IDispatch || iid == IID__Score_Class) {
      *object = static_cast<_Score_Class*>(this);
    } else if (iid == IID_IScoreReport) {
      *object = static_cast<IScoreReport*>(this);
    } else if (iid == IID_IDatagramIdentity) {
      *object = static_cast<IDatagramIdentity*>(this);
    } else {
      *object = nullptr;
      return com::E_NOINTERFACE;
    }
    AddRef();
    return com::S_OK;
  }
  uint32_t AddRef() override { return ++refs_; }
  uint32_t Release() override {
    uint32_t left = --refs_;
    if (left == 0) delete this;
    return left;
  }

  com::HRESULT GetTypeInfoCount(uint32_t* count) override {
    if (count) *count = 0;
    return com::S_OK;
  }
  com::HRESULT GetTypeInfo(uint32_t, uint32_t, void**) override { return com::E_NOTIMPL; }
  com::HRESULT GetIDsOfNames(const com::Guid&, const char**, uint32_t, uint32_t,
                             int32_t*) override {
    return com::E_NOTIMPL;
  }
  com::HRESULT Invoke(int32_t, const com::Guid&, uint32_t, uint16_t, void*, void*, void*,
                      uint32_t*) override {
    return com::E_NOTIMPL;
  }

  int32_t get_Record() override { return State().Record; }
  void put_Record(int32_t vNewValue) override { State().Record = vNewValue; }

  void Process() override {
    try {
      ProcessPass();
    } catch (const PassFailure& e) {
      Fail(e.Number(), e.what());
    } catch (const ado::Error& e) {
      Fail(e.Number(), e.Description());
    } catch (const std::exception& e) {
      Fail(com::E_FAIL, e.what());
    }
  }

  std::string get_ConnectionString() override { return State().ConnectionString; }
  void put_ConnectionString(const std::string& v) override { State().ConnectionString = v; }
  int32_t get_ListenPort() override { return State().ListenPort; }
  void put_ListenPort(int32_t v) override { State().ListenPort = v; }
  std::string get_ConnectedIPAddress() override { return State().ConnectedIPAddress; }
  void put_ConnectedIPAddress(const std::string& v) override { State().ConnectedIPAddress = v; }
  int32_t get_ConnectedPortAddress() override { return State().ConnectedPortAddress; }
  void put_ConnectedPortAddress(int32_t v) override { State().ConnectedPortAddress = v; }
  std::string get_LogPath() override { return State().LogPath; }
  void put_LogPath(const std::string& v) override { State().LogPath = v; }
  std::vector<uint8_t> get_UDPData() override { return State().UDPData; }
  void put_UDPData(const std::vector<uint8_t>& v) override { State().UDPData = v; }
  int16_t get_rawlog() override { return State().rawlog; }
  void put_rawlog(int16_t v) override { State().rawlog = v; }

  PassOutcome LastPass() override { return State().LastPass; }
  void SetIdentity(const std::string& spool_key, uint64_t sequence) override {
    State().Identity = {spool_key, sequence};
  }

 private:
  [[noreturn]] void Fail(int32_t number, const std::string& description) {
    State().LastPass.failure = description;
    throw com::Error(number, description);
  }

  std::atomic<uint32_t> refs_{1};
};

class ClassFactory final : public com::IClassFactory {
 public:
  com::HRESULT QueryInterface(const com::Guid& iid, void** object) override {
    if (!object) return com::E_POINTER;
    if (iid == com::IID_IUnknown || iid == com::IID_IClassFactory) {
      *object = this;
      AddRef();
      return com::S_OK;
    }
    *object = nullptr;
    return com::E_NOINTERFACE;
  }
  uint32_t AddRef() override { return ++refs_; }
  uint32_t Release() override {
    uint32_t left = --refs_;
    if (left == 0) delete this;
    return left;
  }
  com::HRESULT CreateInstance(com::IUnknown* outer, const com::Guid& iid, void** object) override {
    if (!object) return com::E_POINTER;
    *object = nullptr;
    if (outer) return com::CLASS_E_NOAGGREGATION;
    auto* obj = new Score_Class();
    com::HRESULT hr = obj->QueryInterface(iid, object);
    obj->Release();
    return hr;
  }
  com::HRESULT LockServer(bool lock) override {
    lock ? ++g_live_objects : --g_live_objects;
    return com::S_OK;
  }

 private:
  std::atomic<uint32_t> refs_{1};
};

}  // namespace

com::HRESULT GetClassObject(const com::Guid& clsid, const com::Guid& iid, void** object) {
  if (!object) return com::E_POINTER;
  *object = nullptr;
  if (!(clsid == CLSID_Score_Class)) return com::CLASS_E_CLASSNOTAVAILABLE;
  auto* factory = new ClassFactory();
  com::HRESULT hr = factory->QueryInterface(iid, object);
  factory->Release();
  return hr;
}

}  // namespace tallycore
