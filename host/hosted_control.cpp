#include "hosted_control.h"

#include <ocidl.h>
#include <olectl.h>

#include <algorithm>

#include "ovtransfer/com/object.h"
#include "ovtransfer/com/status.h"
#include "ovtransfer/com/text.h"
#include "property_bag.h"
#include "safety.h"

namespace host {
namespace {

const wchar_t kFrameClass[] = L"OvHostPageFrame";

// Controls living on this thread, so the pump can offer them their keyboard messages.
thread_local std::vector<HostedControl*> g_live;

std::wstring ClsidText(REFCLSID clsid) {
  wchar_t buf[40] = L"";
  StringFromGUID2(clsid, buf, 40);
  return buf;
}

int ScreenDpi(int which) {
  HDC dc = GetDC(nullptr);
  int dpi = dc ? GetDeviceCaps(dc, which) : 96;
  if (dc) ReleaseDC(nullptr, dc);
  return dpi > 0 ? dpi : 96;
}

}  // namespace

SIZEL PixelsToHimetric(SIZE p) {
  return {MulDiv(p.cx, 2540, ScreenDpi(LOGPIXELSX)), MulDiv(p.cy, 2540, ScreenDpi(LOGPIXELSY))};
}

SIZE HimetricToPixels(SIZEL h) {
  return {MulDiv(h.cx, ScreenDpi(LOGPIXELSX), 2540), MulDiv(h.cy, ScreenDpi(LOGPIXELSY), 2540)};
}

// The container's side of one control: client site, in-place site and frame, control site,
// and the ambient properties through IDispatch.
class CSite : public com::CComBase,
              public IOleClientSite,
              public IOleInPlaceSite,
              public IOleInPlaceFrame,
              public IOleControlSite,
              public IDispatch {
 public:
  explicit CSite(IUnknown* outer) : CComBase(outer) {}

  static CSite* New(HostedControl* owner) {
    auto* site = new (std::nothrow) CSite(nullptr);
    if (site) {
      site->owner_ = owner;
      site->Inner()->AddRef();
    }
    return site;
  }
  void SetFrame(HWND frame) { frame_ = frame; }
  void Detach() { owner_ = nullptr; frame_ = nullptr; }
  void Release1() { Inner()->Release(); }

  COM_DELEGATE_IUNKNOWN

  // IOleClientSite
  STDMETHODIMP SaveObject() override { return S_OK; }
  STDMETHODIMP GetMoniker(DWORD, DWORD, IMoniker** out) override { return Null(out, E_NOTIMPL); }
  STDMETHODIMP GetContainer(IOleContainer** out) override { return Null(out, E_NOINTERFACE); }
  STDMETHODIMP ShowObject() override { return S_OK; }
  STDMETHODIMP OnShowWindow(BOOL) override { return S_OK; }
  STDMETHODIMP RequestNewObjectLayout() override { return E_NOTIMPL; }

  // IOleWindow (shared by the in-place site and the frame: both are the page's window)
  STDMETHODIMP GetWindow(HWND* out) override {
    if (!out) return E_POINTER;
    *out = frame_;
    return frame_ ? S_OK : E_FAIL;
  }
  STDMETHODIMP ContextSensitiveHelp(BOOL) override { return E_NOTIMPL; }

  // IOleInPlaceSite
  STDMETHODIMP CanInPlaceActivate() override { return frame_ ? S_OK : S_FALSE; }
  STDMETHODIMP OnInPlaceActivate() override { return S_OK; }
  STDMETHODIMP OnUIActivate() override { return S_OK; }
  STDMETHODIMP GetWindowContext(IOleInPlaceFrame** frame, IOleInPlaceUIWindow** doc, LPRECT pos, LPRECT clip,
                                LPOLEINPLACEFRAMEINFO info) override {
    if (!frame || !doc || !pos || !clip || !info) return E_POINTER;
    *frame = static_cast<IOleInPlaceFrame*>(this);
    AddRef();
    *doc = nullptr;  // the frame is the document window too
    RECT client = {};
    if (frame_) GetClientRect(frame_, &client);
    *pos = client;
    *clip = client;
    info->cb = sizeof(OLEINPLACEFRAMEINFO);
    info->fMDIApp = FALSE;
    info->hwndFrame = frame_;
    info->haccel = nullptr;
    info->cAccelEntries = 0;
    return S_OK;
  }
  STDMETHODIMP Scroll(SIZE) override { return E_NOTIMPL; }
  STDMETHODIMP OnUIDeactivate(BOOL) override { return S_OK; }
  STDMETHODIMP OnInPlaceDeactivate() override {
    if (owner_) owner_->OnActiveObject(nullptr);
    return S_OK;
  }
  STDMETHODIMP DiscardUndoState() override { return S_OK; }
  STDMETHODIMP DeactivateAndUndo() override { return S_OK; }
  STDMETHODIMP OnPosRectChange(LPCRECT rect) override {
    if (!rect) return E_POINTER;
    if (owner_) owner_->OnPosRectChange(*rect);
    return S_OK;
  }

  // IOleInPlaceUIWindow / IOleInPlaceFrame: no menus, toolbars or status bar.
  STDMETHODIMP GetBorder(LPRECT) override { return INPLACE_E_NOTOOLSPACE; }
  STDMETHODIMP RequestBorderSpace(LPCBORDERWIDTHS) override { return INPLACE_E_NOTOOLSPACE; }
  STDMETHODIMP SetBorderSpace(LPCBORDERWIDTHS widths) override { return widths ? INPLACE_E_NOTOOLSPACE : S_OK; }
  STDMETHODIMP SetActiveObject(IOleInPlaceActiveObject* active, LPCOLESTR) override {
    if (owner_) owner_->OnActiveObject(active);
    return S_OK;
  }
  STDMETHODIMP InsertMenus(HMENU, LPOLEMENUGROUPWIDTHS widths) override {
    if (widths) for (auto& w : widths->width) w = 0;
    return S_OK;
  }
  STDMETHODIMP SetMenu(HMENU, HOLEMENU, HWND) override { return S_OK; }
  STDMETHODIMP RemoveMenus(HMENU) override { return S_OK; }
  STDMETHODIMP SetStatusText(LPCOLESTR) override { return S_OK; }
  STDMETHODIMP EnableModeless(BOOL) override { return S_OK; }
  STDMETHODIMP TranslateAccelerator(LPMSG, WORD) override { return S_FALSE; }

  // IOleControlSite
  STDMETHODIMP OnControlInfoChanged() override { return S_OK; }
  STDMETHODIMP LockInPlaceActive(BOOL) override { return S_OK; }
  STDMETHODIMP GetExtendedControl(IDispatch** out) override { return Null(out, E_NOTIMPL); }
  STDMETHODIMP TransformCoords(POINTL* himetric, POINTF* container, DWORD flags) override {
    if (!himetric || !container) return E_POINTER;
    if (flags & XFORMCOORDS_HIMETRICTOCONTAINER) {
      SIZE p = HimetricToPixels({himetric->x, himetric->y});
      container->x = static_cast<float>(p.cx);
      container->y = static_cast<float>(p.cy);
    } else if (flags & XFORMCOORDS_CONTAINERTOHIMETRIC) {
      SIZEL h = PixelsToHimetric({static_cast<LONG>(container->x), static_cast<LONG>(container->y)});
      himetric->x = h.cx;
      himetric->y = h.cy;
    } else {
      return E_INVALIDARG;
    }
    return S_OK;
  }
  STDMETHODIMP TranslateAccelerator(MSG*, DWORD) override { return S_FALSE; }
  STDMETHODIMP OnFocus(BOOL) override { return S_OK; }
  STDMETHODIMP ShowPropertyFrame() override { return E_NOTIMPL; }

  // IDispatch: the ambient properties a control reads from its container.
  STDMETHODIMP GetTypeInfoCount(UINT* count) override {
    if (!count) return E_POINTER;
    *count = 0;
    return S_OK;
  }
  STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo** out) override { return Null(out, DISP_E_BADINDEX); }
  STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT count, LCID, DISPID* ids) override {
    if (ids) for (UINT i = 0; i < count; ++i) ids[i] = DISPID_UNKNOWN;
    return DISP_E_UNKNOWNNAME;
  }
  STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS*, VARIANT* result, EXCEPINFO*,
                      UINT*) override {
    if (!(flags & DISPATCH_PROPERTYGET)) return DISP_E_MEMBERNOTFOUND;
    com::UniqueVariant owned;
    VARIANT& v = *owned.Receive();
    switch (id) {
      case DISPID_AMBIENT_BACKCOLOR:
        v.vt = VT_I4;
        v.lVal = static_cast<LONG>(owner_ ? owner_->BackColor() : RGB(255, 255, 255));
        break;
      case DISPID_AMBIENT_FORECOLOR:
        v.vt = VT_I4;
        v.lVal = static_cast<LONG>(RGB(0, 0, 0));
        break;
      case DISPID_AMBIENT_USERMODE: Bool(v, true); break;
      case DISPID_AMBIENT_UIDEAD: Bool(v, false); break;
      case DISPID_AMBIENT_SHOWGRABHANDLES: Bool(v, false); break;
      case DISPID_AMBIENT_SHOWHATCHING: Bool(v, false); break;
      case DISPID_AMBIENT_DISPLAYASDEFAULT: Bool(v, false); break;
      case DISPID_AMBIENT_MESSAGEREFLECT: Bool(v, false); break;
      case DISPID_AMBIENT_SUPPORTSMNEMONICS: Bool(v, false); break;
      case DISPID_AMBIENT_AUTOCLIP: Bool(v, true); break;
      case DISPID_AMBIENT_LOCALEID:
        v.vt = VT_I4;
        v.lVal = static_cast<LONG>(GetUserDefaultLCID());
        break;
      case DISPID_AMBIENT_DISPLAYNAME:
        v.vt = VT_BSTR;
        v.bstrVal = SysAllocString(name_.c_str());
        if (!v.bstrVal) return E_OUTOFMEMORY;
        break;
      default:
        return DISP_E_MEMBERNOTFOUND;
    }
    if (result) com::MoveInto(owned, result);
    return S_OK;
  }

  void SetName(const std::wstring& name) { name_ = name; }

 protected:
  void* FindInterface(REFIID iid) override {
    static const com::QiEntry<CSite> table[] = {
        COM_QI(CSite, IOleClientSite),    COM_QI_VIA(CSite, IOleWindow, IOleInPlaceSite),
        COM_QI(CSite, IOleInPlaceSite),   COM_QI(CSite, IOleInPlaceUIWindow),
        COM_QI(CSite, IOleInPlaceFrame),  COM_QI(CSite, IOleControlSite),
        COM_QI(CSite, IDispatch)};
    return com::FindInTable(this, table, iid);
  }

 private:
  template <class T>
  static HRESULT Null(T** out, HRESULT hr) {
    if (!out) return E_POINTER;
    *out = nullptr;
    return hr;
  }
  static void Bool(VARIANT& v, bool b) {
    v.vt = VT_BOOL;
    v.boolVal = b ? VARIANT_TRUE : VARIANT_FALSE;
  }

  HostedControl* owner_ = nullptr;
  HWND frame_ = nullptr;
  std::wstring name_;
};

HostedControl::HostedControl() { g_live.push_back(this); }

HostedControl::~HostedControl() {
  Close();
  g_live.erase(std::remove(g_live.begin(), g_live.end(), this), g_live.end());
}

HRESULT HostedControl::Fail(HRESULT hr, const std::wstring& what) {
  error_ = what + L" (" + com::StatusText(hr) + L")";
  return hr;
}

HRESULT HostedControl::Start(REFCLSID clsid, const ControlOptions& options) {
  HRESULT hr = Create(clsid, options);
  return FAILED(hr) ? hr : Activate();
}

HRESULT HostedControl::Create(REFCLSID clsid, const ControlOptions& options) {
  Close();
  error_.clear();
  options_ = options;
  clsid_ = clsid;
  std::wstring cls = ClsidText(clsid);

  com::ComPtr<IUnknown> object;
  HRESULT hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, object.ReceiveVoid());
  if (FAILED(hr)) return Fail(hr, L"cannot create class " + cls);

  if (options.check_safety) {
    SafetyVerdict verdict = CheckSafety(clsid, object.Get());
    if (!verdict.safe) {
      error_ = L"refused class " + cls + L": " + verdict.reason;
      return E_ACCESSDENIED;
    }
  }

  site_ = CSite::New(this);
  if (!site_) return Fail(E_OUTOFMEMORY, L"out of memory");
  site_->SetName(options.name);

  com::ComPtr<IOleObject> ole;
  DWORD misc = 0;
  if (SUCCEEDED(object->QueryInterface(IID_IOleObject, ole.ReceiveVoid())) && ole) {
    ole->GetMiscStatus(DVASPECT_CONTENT, &misc);
    if (misc & OLEMISC_SETCLIENTSITEFIRST) ole->SetClientSite(static_cast<IOleClientSite*>(site_));
  }

  // Initialise: from the PARAMs when the page gives any, else as a new object.
  com::ComPtr<IPersistPropertyBag> bag_loader;
  object->QueryInterface(IID_IPersistPropertyBag, bag_loader.ReceiveVoid());
  if (!options.params.empty()) {
    if (!bag_loader) {
      hr = E_NOINTERFACE;
    } else {
      com::ComPtr<IPropertyBag> bag;
      hr = CPropertyBag::Create(options.params, bag.Receive());
      if (SUCCEEDED(hr)) hr = bag_loader->Load(bag.Get(), nullptr);
    }
    if (FAILED(hr)) {
      if (ole) ole->SetClientSite(nullptr);
      site_->Detach();
      site_->Release1();
      site_ = nullptr;
      return Fail(hr, L"class " + cls + L" cannot load the page's PARAM values");
    }
  } else {
    com::ComPtr<IPersistStreamInit> stream_init;
    if (SUCCEEDED(object->QueryInterface(IID_IPersistStreamInit, stream_init.ReceiveVoid())) && stream_init)
      stream_init->InitNew();
    else if (bag_loader)
      bag_loader->InitNew();
  }

  if (ole) {
    if (!(misc & OLEMISC_SETCLIENTSITEFIRST)) ole->SetClientSite(static_cast<IOleClientSite*>(site_));
    ole->SetHostNames(L"ovhost", options.name.empty() ? nullptr : options.name.c_str());
  }
  object_ = object;
  ole_object_ = ole;
  return S_OK;
}

SIZE HostedControl::NaturalSizePixels() {
  SIZEL extent = {};
  if (ole_object_ && SUCCEEDED(ole_object_->GetExtent(DVASPECT_CONTENT, &extent)) && extent.cx > 0 && extent.cy > 0) {
    SIZE p = HimetricToPixels(extent);
    if (p.cx > 0 && p.cy > 0 && p.cx <= 32767 && p.cy <= 32767) return p;
  }
  return {300, 150};  // a browser's size for an object that names none
}

HRESULT HostedControl::Activate() {
  if (!object_) return Fail(E_UNEXPECTED, L"no control to activate");
  if (in_place_) return S_OK;
  if (!ole_object_) return Fail(E_NOINTERFACE, L"the control cannot be activated (no IOleObject)");

  SIZE natural = NaturalSizePixels();
  SIZE size = {options_.width > 0 ? options_.width : natural.cx, options_.height > 0 ? options_.height : natural.cy};

  HINSTANCE instance = GetModuleHandleW(nullptr);
  WNDCLASSEXW wc = {};
  wc.cbSize = sizeof(wc);
  if (!GetClassInfoExW(instance, kFrameClass, &wc)) {
    wc.cbSize = sizeof(wc);
    wc.lpfnWndProc = FrameProc;
    wc.hInstance = instance;
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.lpszClassName = kFrameClass;
    if (!RegisterClassExW(&wc)) return Fail(com::LastFailure(), L"cannot register the page window");
  }
  background_.Reset(CreateSolidBrush(options_.back_color));
  DWORD style = WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN;
  RECT outer = {0, 0, size.cx, size.cy};
  AdjustWindowRectEx(&outer, style, FALSE, 0);
  std::wstring title = options_.name.empty() ? L"ovhost" : L"ovhost - " + options_.name;
  frame_ = CreateWindowExW(0, kFrameClass, title.c_str(), style, CW_USEDEFAULT, CW_USEDEFAULT,
                           outer.right - outer.left, outer.bottom - outer.top, nullptr, nullptr, instance, this);
  if (!frame_) return Fail(com::LastFailure(), L"cannot create the page window");
  site_->SetFrame(frame_);
  if (options_.visible) {
    ShowWindow(frame_, SW_SHOWNORMAL);
    UpdateWindow(frame_);
  }

  SIZEL himetric = PixelsToHimetric(size);
  ole_object_->SetExtent(DVASPECT_CONTENT, &himetric);

  RECT rect = {0, 0, size.cx, size.cy};
  HRESULT hr = ole_object_->DoVerb(OLEIVERB_INPLACEACTIVATE, nullptr, static_cast<IOleClientSite*>(site_), 0, frame_,
                                   &rect);
  if (FAILED(hr)) hr = ole_object_->DoVerb(OLEIVERB_SHOW, nullptr, static_cast<IOleClientSite*>(site_), 0, frame_, &rect);
  if (FAILED(hr)) return Fail(hr, L"the control refused in-place activation");

  com::ComPtr<IOleInPlaceObject> in_place;
  if (FAILED(object_->QueryInterface(IID_IOleInPlaceObject, in_place.ReceiveVoid())) || !in_place)
    return Fail(E_NOINTERFACE, L"the control has no in-place object");
  HWND window = nullptr;
  if (FAILED(in_place->GetWindow(&window)) || !window || !IsWindow(window)) {
    in_place->InPlaceDeactivate();
    return Fail(E_FAIL, L"the control made no window");
  }
  in_place_ = in_place;
  control_window_ = window;
  in_place_->SetObjectRects(&rect, &rect);
  if (!active_) object_->QueryInterface(IID_IOleInPlaceActiveObject, active_.ReceiveVoid());
  return S_OK;
}

void HostedControl::SetBackColor(COLORREF color) {
  options_.back_color = color;
  background_.Reset(frame_ ? CreateSolidBrush(color) : nullptr);
  if (frame_) InvalidateRect(frame_, nullptr, TRUE);
  com::ComPtr<IOleControl> control;
  if (object_ && SUCCEEDED(object_->QueryInterface(IID_IOleControl, control.ReceiveVoid())) && control)
    control->OnAmbientPropertyChange(DISPID_AMBIENT_BACKCOLOR);
}

void HostedControl::OnPosRectChange(const RECT& rect) {
  if (in_place_) in_place_->SetObjectRects(&rect, &rect);
}

bool HostedControl::TranslateAccelerator(MSG* msg) {
  if (!active_ || !frame_ || !msg->hwnd || (msg->hwnd != frame_ && !IsChild(frame_, msg->hwnd))) return false;
  if (msg->message < WM_KEYFIRST || msg->message > WM_KEYLAST) return false;
  return active_->TranslateAccelerator(msg) == S_OK;
}

void HostedControl::Close() {
  if (in_place_) in_place_->InPlaceDeactivate();
  in_place_.Reset();
  active_.Reset();
  if (ole_object_) {
    ole_object_->Close(OLECLOSE_NOSAVE);
    ole_object_->SetClientSite(nullptr);
  }
  ole_object_.Reset();
  object_.Reset();
  if (site_) {
    site_->Detach();
    site_->Release1();
    site_ = nullptr;
  }
  if (frame_) {
    SetWindowLongPtrW(frame_, GWLP_USERDATA, 0);
    DestroyWindow(frame_);
    frame_ = nullptr;
  }
  control_window_ = nullptr;
  background_.Reset();
}

LRESULT CALLBACK HostedControl::FrameProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_NCCREATE) {
    auto* cs = reinterpret_cast<CREATESTRUCTW*>(lp);
    SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(cs->lpCreateParams));
  }
  auto* self = reinterpret_cast<HostedControl*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  if (self) {
    switch (msg) {
      case WM_SIZE:
        if (self->in_place_ && wp != SIZE_MINIMIZED) {
          RECT rect = {0, 0, LOWORD(lp), HIWORD(lp)};
          self->in_place_->SetObjectRects(&rect, &rect);
        }
        return 0;
      case WM_ERASEBKGND: {
        RECT rect;
        GetClientRect(hwnd, &rect);
        FillRect(reinterpret_cast<HDC>(wp), &rect,
                 self->background_ ? self->background_.Get() : reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1));
        return 1;
      }
      case WM_SETFOCUS:
        if (self->control_window_) SetFocus(self->control_window_);
        return 0;
      case WM_CLOSE:
        // The user closed the page: the page's script ends; the control is torn down by Close().
        self->frame_closed_ = true;
        ShowWindow(hwnd, SW_HIDE);
        return 0;
    }
  }
  return DefWindowProcW(hwnd, msg, wp, lp);
}

bool PumpMessagesUntil(const std::function<bool()>& done, DWORD timeout_ms) {
  auto finished = [&] { return done && done(); };
  DWORD start = GetTickCount();
  for (;;) {
    if (finished()) return true;
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      if (msg.message == WM_QUIT) {
        PostQuitMessage(static_cast<int>(msg.wParam));  // for whoever runs the outer loop
        return finished();
      }
      bool taken = false;
      for (HostedControl* c : std::vector<HostedControl*>(g_live))
        if (c->TranslateAccelerator(&msg)) {
          taken = true;
          break;
        }
      if (!taken) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
      }
      if (finished()) return true;
      if (timeout_ms != INFINITE && GetTickCount() - start >= timeout_ms) return false;
    }
    DWORD wait = INFINITE;
    if (timeout_ms != INFINITE) {
      DWORD elapsed = GetTickCount() - start;
      if (elapsed >= timeout_ms) return finished();
      wait = timeout_ms - elapsed;
    }
    MsgWaitForMultipleObjectsEx(0, nullptr, wait, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
  }
}

}  // namespace host
