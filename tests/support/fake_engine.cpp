#include "support/fake_engine.h"

#include <cstdio>

#include "components/ovres/component_classes.h"
#include "ovtransfer/com/object.h"

namespace testing_support {
namespace {

std::wstring Address(const SOCKADDR_IN* a) {
  if (!a) return L"null";
  const BYTE* b = reinterpret_cast<const BYTE*>(&a->sin_addr.s_addr);
  wchar_t text[64];
  swprintf(text, 64, L"%u.%u.%u.%u:%u", b[0], b[1], b[2], b[3], ntohs(a->sin_port));
  return text;
}

class CFakeEngine final : public com::CComBase, public ITransferEngine {
 public:
  explicit CFakeEngine(EngineScript* script) : CComBase(nullptr), s_(*script) { ++s_.live; }
  ~CFakeEngine() override { --s_.live; }
  COM_DELEGATE_IUNKNOWN

  STDMETHODIMP Initialize(DWORD mode, const SOCKADDR_IN* local, DWORD reserved) override {
    return Call(L"Initialize(" + std::to_wstring(mode) + L"," + Address(local) + L"," + std::to_wstring(reserved) + L")");
  }
  STDMETHODIMP Disconnect() override { return Call(L"Disconnect()"); }
  STDMETHODIMP Reserved5() override { return Call(L"Reserved5()"); }
  STDMETHODIMP SetNotifyWindow(HWND window, UINT message) override {
    s_.window = window;
    return Call(L"SetNotifyWindow(" + std::to_wstring(message) + L")");
  }
  STDMETHODIMP Connect(const SOCKADDR_IN* server, DWORD timeout) override {
    return Call(L"Connect(" + Address(server) + L"," + std::to_wstring(timeout) + L")");
  }
  STDMETHODIMP Login(const wchar_t* user, const wchar_t* password, wchar_t*, DWORD size) override {
    return Call(L"Login(" + std::wstring(user) + L"," + password + L"," + std::to_wstring(size) + L")");
  }
  STDMETHODIMP Reserved9() override { return Call(L"Reserved9()"); }
  STDMETHODIMP Reserved10() override { return Call(L"Reserved10()"); }
  STDMETHODIMP Reserved11() override { return Call(L"Reserved11()"); }
  STDMETHODIMP Reserved12() override { return Call(L"Reserved12()"); }
  STDMETHODIMP Reserved13() override { return Call(L"Reserved13()"); }
  STDMETHODIMP PutFile(const wchar_t* remote, const wchar_t* local, DWORD reserved, DWORD flags, LONG task,
                       wchar_t*, DWORD remote_size, wchar_t*, DWORD status_size) override {
    return Call(L"PutFile(" + std::wstring(remote) + L"," + local + L"," + std::to_wstring(reserved) + L"," +
                std::to_wstring(flags) + L"," + std::to_wstring(task) + L"," + std::to_wstring(remote_size) + L"," +
                std::to_wstring(status_size) + L")");
  }
  STDMETHODIMP SetResumePosition(ULONGLONG a, ULONGLONG b) override {
    return Call(L"SetResumePosition(" + std::to_wstring(a) + L"," + std::to_wstring(b) + L")");
  }
  STDMETHODIMP Reserved16() override { return Call(L"Reserved16()"); }
  STDMETHODIMP StartTransfer() override { return Call(L"StartTransfer()"); }
  STDMETHODIMP PauseTransfer() override { return Call(L"PauseTransfer()"); }
  STDMETHODIMP FinishFile() override { return Call(L"FinishFile()"); }
  STDMETHODIMP SetRateLimit(DWORD rate) override { return Call(L"SetRateLimit(" + std::to_wstring(rate) + L")"); }
  STDMETHODIMP Reserved21() override { return Call(L"Reserved21()"); }
  STDMETHODIMP Reserved22() override { return Call(L"Reserved22()"); }
  STDMETHODIMP GetBytesTransferred(ULONGLONG* bytes) override {
    *bytes = s_.bytes;
    return s_.bytes_fail ? E_FAIL : S_OK;
  }

 protected:
  void* FindInterface(REFIID iid) override {
    return IsEqualIID(iid, IID_ITransferEngine) ? static_cast<ITransferEngine*>(this) : nullptr;
  }

 private:
  HRESULT Call(const std::wstring& call) {
    s_.calls.push_back(call);
    const std::wstring name = call.substr(0, call.find(L'('));
    return s_.failing.count(name) ? E_FAIL : S_OK;
  }
  EngineScript& s_;
};

HRESULT NewEngine(EngineScript& script, REFIID iid, void** out) {
  *out = nullptr;
  if (script.fail_creation) return E_OUTOFMEMORY;
  auto* engine = new CFakeEngine(&script);
  engine->Inner()->AddRef();
  HRESULT hr = engine->Inner()->QueryInterface(iid, out);
  engine->Inner()->Release();
  return hr;
}

class CFakeEngineFactory final : public IClassFactory {
 public:
  explicit CFakeEngineFactory(EngineScript& script) : script_(script) {}
  STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IClassFactory)) {
      *out = this;
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return 2; }
  STDMETHODIMP_(ULONG) Release() override { return 1; }
  STDMETHODIMP CreateInstance(IUnknown* outer, REFIID iid, void** out) override {
    *out = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    return NewEngine(script_, iid, out);
  }
  STDMETHODIMP LockServer(BOOL) override { return S_OK; }

 private:
  EngineScript& script_;
};

}  // namespace

FakeEngineRegistration::FakeEngineRegistration(EngineScript& script) {
  static CFakeEngineFactory* factory = nullptr;
  delete factory;
  factory = new CFakeEngineFactory(script);
  CoRegisterClassObject(CLSID_OvTransferEngine, factory, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &cookie_);
}

FakeEngineRegistration::~FakeEngineRegistration() {
  if (cookie_) CoRevokeClassObject(cookie_);
}

HRESULT FakeEngineFactory::CreateEngine(com::ComPtr<ITransferEngine>* engine) {
  return NewEngine(script_, IID_ITransferEngine, engine->ReceiveVoid());
}

int CountCalls(const EngineScript& script, const std::wstring& name) {
  int n = 0;
  for (const std::wstring& call : script.calls) n += call.rfind(name, 0) == 0;
  return n;
}

}  // namespace testing_support
