#include "script_host.h"

#include <cmath>

#include "hosted_control.h"
#include "ovtransfer/com/object.h"
#include "ovtransfer/com/result.h"
#include "ovtransfer/com/text.h"

// The system's uuid library lacks the parse interface's id, which differs per architecture.
#ifdef _WIN64
extern "C" const IID IID_IActiveScriptParse64 = {
    0xc7ef7658, 0xe1ee, 0x480e, {0x97, 0xea, 0xd5, 0x2c, 0xb4, 0xd7, 0x6d, 0x17}};
#else
extern "C" const IID IID_IActiveScriptParse32 = {
    0xbb1a2ae2, 0xa4f9, 0x11cf, {0x8f, 0x20, 0x00, 0x80, 0x5f, 0x2c, 0xd0, 0x64}};
#endif

namespace host {
namespace {

// What quit throws so the running block stops where it stands; never reported.
const HRESULT kQuitUnwind = MAKE_HRESULT(SEVERITY_ERROR, FACILITY_ITF, 0x0E01);

void SetException(EXCEPINFO* excep, HRESULT hr, const wchar_t* text) {
  if (!excep) return;
  *excep = EXCEPINFO{};
  excep->scode = hr;
  excep->bstrSource = SysAllocString(L"host");
  excep->bstrDescription = SysAllocString(text);
}

// Positional argument i (0 = first as written in script); DISPPARAMS holds them reversed.
const VARIANT* Arg(const DISPPARAMS* params, UINT i) {
  if (!params || i >= params->cArgs) return nullptr;
  const VARIANT* v = &params->rgvarg[params->cArgs - 1 - i];
  while (v->vt == (VT_BYREF | VT_VARIANT) && v->pvarVal) v = v->pvarVal;
  return v;
}

}  // namespace

std::wstring ScriptValueText(const VARIANT& in) {
  const VARIANT* v = &in;
  while (v->vt == (VT_BYREF | VT_VARIANT) && v->pvarVal) v = v->pvarVal;
  switch (v->vt) {
    case VT_EMPTY: return L"undefined";
    case VT_NULL: return L"null";
    case VT_BOOL: return v->boolVal ? L"true" : L"false";
    case VT_BSTR:
      return com::BstrText(v->bstrVal);
    default: break;
  }
  com::UniqueVariant text;
  if (FAILED(VariantChangeTypeEx(text.Receive(), const_cast<VARIANT*>(v),
                                 MAKELCID(MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), SORT_DEFAULT), 0, VT_BSTR)))
    return (v->vt == VT_DISPATCH || v->vt == VT_UNKNOWN) ? L"[object]" : L"";
  return com::BstrText(text.Get().bstrVal);
}

// The engine's view of the page.
class CScriptSite : public com::CComBase, public IActiveScriptSite {
 public:
  explicit CScriptSite(IUnknown* outer) : CComBase(outer) {}
  ScriptHost* owner = nullptr;

  COM_DELEGATE_IUNKNOWN

  STDMETHODIMP GetLCID(LCID* lcid) override {
    if (!lcid) return E_POINTER;
    *lcid = GetUserDefaultLCID();
    return S_OK;
  }
  STDMETHODIMP GetItemInfo(LPCOLESTR name, DWORD mask, IUnknown** unknown, ITypeInfo** info) override {
    if (unknown) *unknown = nullptr;
    if (info) *info = nullptr;
    return owner ? owner->ItemInfo(name, mask, unknown, info) : TYPE_E_ELEMENTNOTFOUND;
  }
  STDMETHODIMP GetDocVersionString(BSTR* version) override {
    if (version) *version = nullptr;
    return E_NOTIMPL;
  }
  STDMETHODIMP OnScriptTerminate(const VARIANT*, const EXCEPINFO*) override { return S_OK; }
  STDMETHODIMP OnStateChange(SCRIPTSTATE) override { return S_OK; }
  STDMETHODIMP OnScriptError(IActiveScriptError* error) override {
    if (owner && error) owner->ReportError(error);
    return S_OK;  // the block stops; later blocks still run, as on a page
  }
  STDMETHODIMP OnEnterScript() override { return S_OK; }
  STDMETHODIMP OnLeaveScript() override { return S_OK; }

 protected:
  void* FindInterface(REFIID iid) override {
    static const com::QiEntry<CScriptSite> table[] = {COM_QI(CScriptSite, IActiveScriptSite)};
    return com::FindInTable(this, table, iid);
  }
};

// The script's "host": echo(text...), sleep(ms), quit(code).
class CHostObject : public com::CComBase, public IDispatch {
 public:
  explicit CHostObject(IUnknown* outer) : CComBase(outer) {}
  ScriptHost* owner = nullptr;

  COM_DELEGATE_IUNKNOWN

  STDMETHODIMP GetTypeInfoCount(UINT* count) override {
    if (!count) return E_POINTER;
    *count = 0;
    return S_OK;
  }
  STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    return DISP_E_BADINDEX;
  }
  STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override {
    if (!names || !ids || count == 0) return E_INVALIDARG;
    static const struct {
      const wchar_t* name;
      DISPID id;
    } members[] = {{L"echo", 1}, {L"sleep", 2}, {L"quit", 3}};
    HRESULT hr = S_OK;
    ids[0] = DISPID_UNKNOWN;
    for (const auto& m : members)
      if (names[0] && com::SameText(names[0], m.name)) ids[0] = m.id;
    if (ids[0] == DISPID_UNKNOWN) hr = DISP_E_UNKNOWNNAME;
    for (UINT i = 1; i < count; ++i) {  // the members take no named arguments
      ids[i] = DISPID_UNKNOWN;
      hr = DISP_E_UNKNOWNNAME;
    }
    return hr;
  }
  STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                      EXCEPINFO* excep, UINT* arg_err) override {
    if (result) VariantInit(result);
    if (!(flags & DISPATCH_METHOD)) return DISP_E_MEMBERNOTFOUND;
    if (params && params->cNamedArgs) return DISP_E_NONAMEDARGS;
    if (!owner) return E_UNEXPECTED;
    switch (id) {
      case 1: {  // echo: the arguments joined by spaces, as one line
        std::wstring line;
        for (UINT i = 0; params && i < params->cArgs; ++i) {
          if (i) line += L' ';
          line += ScriptValueText(*Arg(params, i));
        }
        owner->Echo(line);
        return S_OK;
      }
      case 2: {  // sleep(ms)
        double ms = 0;
        if (const VARIANT* a = Arg(params, 0)) {
          VARIANT n;
          VariantInit(&n);
          if (FAILED(VariantChangeType(&n, const_cast<VARIANT*>(a), 0, VT_R8))) {
            if (arg_err) *arg_err = 0;
            return DISP_E_TYPEMISMATCH;
          }
          ms = n.dblVal;
        }
        HRESULT hr = owner->Sleep(ms);
        if (FAILED(hr)) SetException(excep, hr, L"the page has ended");
        return FAILED(hr) ? DISP_E_EXCEPTION : S_OK;
      }
      case 3: {  // quit(code)
        int code = 0;
        if (const VARIANT* a = Arg(params, 0); a && a->vt != VT_EMPTY) {
          VARIANT n;
          VariantInit(&n);
          if (FAILED(VariantChangeType(&n, const_cast<VARIANT*>(a), 0, VT_R8)) || !std::isfinite(n.dblVal)) {
            if (arg_err) *arg_err = 0;
            return DISP_E_TYPEMISMATCH;
          }
          double d = n.dblVal;
          code = d >= 2147483647.0 ? 2147483647 : d <= -2147483648.0 ? (-2147483647 - 1) : static_cast<int>(d);
        }
        owner->Quit(code);
        // Unwind the running block at once; what it still catches cannot change the code.
        SetException(excep, kQuitUnwind, L"the page has ended");
        return DISP_E_EXCEPTION;
      }
    }
    return DISP_E_MEMBERNOTFOUND;
  }

 protected:
  void* FindInterface(REFIID iid) override {
    static const com::QiEntry<CHostObject> table[] = {COM_QI(CHostObject, IDispatch)};
    return com::FindInTable(this, table, iid);
  }
};

ScriptHost::ScriptHost(ScriptOutput output, std::wstring source_name)
    : output_(std::move(output)), source_name_(std::move(source_name)) {}

ScriptHost::~ScriptHost() { Close(); }

HRESULT ScriptHost::Start() {
  if (engine_) return S_OK;
  CLSID jscript;
  RETURN_IF_FAILED(CLSIDFromProgID(L"JScript", &jscript));
  RETURN_IF_FAILED(CoCreateInstance(jscript, nullptr, CLSCTX_INPROC_SERVER, IID_IActiveScript, engine_.ReceiveVoid()));
  HRESULT hr = engine_.As(&parse_, IID_IActiveScriptParse);
  if (FAILED(hr)) {
    Close();
    return hr;
  }
  site_ = new (std::nothrow) CScriptSite(nullptr);
  host_object_ = new (std::nothrow) CHostObject(nullptr);
  if (!site_ || !host_object_) {
    delete site_;
    delete host_object_;
    site_ = nullptr;
    host_object_ = nullptr;
    Close();
    return E_OUTOFMEMORY;
  }
  site_->Inner()->AddRef();
  site_->owner = this;
  host_object_->Inner()->AddRef();
  host_object_->owner = this;
  items_[L"host"] = com::ComPtr<IUnknown>(host_object_->Inner());

  if (FAILED(hr = engine_->SetScriptSite(site_)) || FAILED(hr = parse_->InitNew()) ||
      FAILED(hr = engine_->AddNamedItem(L"host", SCRIPTITEM_ISVISIBLE)) ||
      FAILED(hr = engine_->SetScriptState(SCRIPTSTATE_CONNECTED))) {
    Close();
    return hr;
  }
  return S_OK;
}

HRESULT ScriptHost::AddObject(const std::wstring& name, IUnknown* object) {
  if (!engine_) return E_UNEXPECTED;
  if (name.empty() || !object) return E_INVALIDARG;
  if (items_.count(name)) return E_INVALIDARG;
  items_[name] = com::ComPtr<IUnknown>(object);
  HRESULT hr = engine_->AddNamedItem(name.c_str(), SCRIPTITEM_ISVISIBLE);
  if (FAILED(hr)) items_.erase(name);
  return hr;
}

bool ScriptHost::Run(const std::wstring& code, int first_line) {
  if (!parse_ || quit_) return false;
  block_failed_ = false;
  block_code_ = &code;
  block_first_line_ = first_line > 0 ? first_line : 1;
  EXCEPINFO excep = {};
  HRESULT hr = parse_->ParseScriptText(code.c_str(), nullptr, nullptr, nullptr, 0,
                                       static_cast<ULONG>(first_line > 0 ? first_line - 1 : 0),
                                       SCRIPTTEXT_ISVISIBLE, nullptr, &excep);
  SysFreeString(excep.bstrSource);
  SysFreeString(excep.bstrDescription);
  SysFreeString(excep.bstrHelpFile);
  block_code_ = nullptr;
  if (FAILED(hr) && !block_failed_ && !quit_) {
    // The engine failed without telling the site: still a failure of the page.
    ++errors_;
    if (output_.error)
      output_.error(source_name_ + L": the script engine failed to run a block (" + com::StatusText(hr) + L")");
    block_failed_ = true;
  }
  return !block_failed_;
}

void ScriptHost::Close() {
  if (engine_) {
    engine_->SetScriptState(SCRIPTSTATE_DISCONNECTED);
    engine_->Close();
  }
  parse_.Reset();
  engine_.Reset();
  items_.clear();
  if (host_object_) {
    host_object_->owner = nullptr;
    host_object_->Inner()->Release();
    host_object_ = nullptr;
  }
  if (site_) {
    site_->owner = nullptr;
    site_->Inner()->Release();
    site_ = nullptr;
  }
}

int ScriptHost::ExitCode() const {
  int code = quit_ ? quit_code_ : 0;
  return (errors_ > 0 && code == 0) ? 1 : code;
}

HRESULT ScriptHost::ItemInfo(LPCOLESTR name, DWORD mask, IUnknown** unknown, ITypeInfo** info) {
  auto it = name ? items_.find(name) : items_.end();
  if (it == items_.end()) return TYPE_E_ELEMENTNOTFOUND;
  if (mask & SCRIPTINFO_ITYPEINFO) {
    com::ComPtr<IProvideClassInfo> provider;
    if (info && SUCCEEDED(it->second.As(&provider, IID_IProvideClassInfo)) && provider)
      provider->GetClassInfo(info);
    if (!(mask & SCRIPTINFO_IUNKNOWN) && (!info || !*info)) return TYPE_E_ELEMENTNOTFOUND;
  }
  if (mask & SCRIPTINFO_IUNKNOWN) {
    if (!unknown) return E_POINTER;
    *unknown = it->second.Get();
    (*unknown)->AddRef();
  }
  return S_OK;
}

namespace {

// Line n (1-based) of a block's text; empty when there is none.
std::wstring LineOf(const std::wstring& code, int n) {
  size_t start = 0;
  for (int i = 1; i < n && start != std::wstring::npos; ++i) {
    start = code.find(L'\n', start);
    if (start != std::wstring::npos) ++start;
  }
  if (n < 1 || start == std::wstring::npos) return {};
  return code.substr(start, code.find(L'\n', start) - start);
}

}  // namespace

void ScriptHost::ReportError(IActiveScriptError* error) {
  EXCEPINFO excep = {};
  error->GetExceptionInfo(&excep);
  if (excep.pfnDeferredFillIn) excep.pfnDeferredFillIn(&excep);
  HRESULT code = excep.scode ? excep.scode : static_cast<HRESULT>(excep.wCode);
  std::wstring description = excep.bstrDescription ? excep.bstrDescription : L"";
  SysFreeString(excep.bstrSource);
  SysFreeString(excep.bstrDescription);
  SysFreeString(excep.bstrHelpFile);
  block_failed_ = true;
  if (quit_) return;  // the unwinding of quit, or what a block did after it

  DWORD context = 0;
  ULONG line = 0;
  LONG column = 0;
  bool have_position = SUCCEEDED(error->GetSourcePosition(&context, &line, &column));
  com::Bstr source_line;
  error->GetSourceLineText(source_line.Receive());

  ++errors_;
  std::wstring message = source_name_;
  if (have_position) message += L"(" + std::to_wstring(line + 1) + L"," + std::to_wstring(column + 1) + L")";
  message += L": script error: " + (description.empty() ? std::wstring(L"unknown error") : description);
  if (code) message += L" (" + com::StatusText(code) + L")";
  std::wstring text = source_line.Str();
  if (text.empty() && have_position && block_code_) text = LineOf(*block_code_, static_cast<int>(line) + 2 - block_first_line_);
  while (!text.empty() && (text.back() == L'\r' || text.back() == L'\n')) text.pop_back();
  if (!text.empty()) message += L"\n    " + text;
  if (output_.error) output_.error(message);
}

void ScriptHost::Echo(const std::wstring& line) {
  if (quit_) return;
  if (output_.echo) output_.echo(line);
}

HRESULT ScriptHost::Sleep(double ms) {
  auto aborted = [this] { return aborted_ && aborted_(); };
  if (!quit_ && !aborted()) {
    if (!(ms > 0)) ms = 0;  // negative and NaN: no wait
    DWORD wait = ms >= 0xFFFFFFFE ? 0xFFFFFFFE : static_cast<DWORD>(ms);
    PumpMessagesUntil([&] { return aborted(); }, wait);
  }
  if (aborted()) Quit(0);  // the user closed the page: it ends as if it had quit
  return quit_ ? E_ABORT : S_OK;
}

void ScriptHost::Quit(int code) {
  if (quit_) return;  // the first quit decides
  quit_ = true;
  quit_code_ = code;
}

}  // namespace host
