// The control's ActiveX side: in-place activation, drawing, extents, advise holders,
// ambient properties, quick activation, class information and its connection point.
#include <windows.h>
#include <commctrl.h>

#include "../com/dispatch.h"
#include "../com/result.h"
#include "../ui/resource_ids.h"
#include "ov_transfer_control.h"

namespace {

constexpr DWORD kMiscStatus = OLEMISC_RECOMPOSEONRESIZE | OLEMISC_CANTLINKINSIDE | OLEMISC_INSIDEOUT |
                              OLEMISC_ACTIVATEWHENVISIBLE | OLEMISC_SETCLIENTSITEFIRST;
static_assert(kMiscStatus == 0x20191, "the registered miscellaneous status");
constexpr DWORD kViewStatus = VIEWSTATUS_SOLIDBKGND | VIEWSTATUS_OPAQUE;

// Dialog units of the template's font ("MS Shell Dlg", 8 point) to HIMETRIC.
SIZEL DialogUnitsToHimetric(int cx, int cy) {
  HDC screen = GetDC(nullptr);
  const int dpi_x = GetDeviceCaps(screen, LOGPIXELSX), dpi_y = GetDeviceCaps(screen, LOGPIXELSY);
  com::UniqueGdi<HFONT> font(CreateFontW(-MulDiv(8, dpi_y, 72), 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE,
                                         DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                                         DEFAULT_PITCH, L"MS Shell Dlg"));
  HGDIOBJ old = SelectObject(screen, font.Get());
  TEXTMETRICW tm = {};
  GetTextMetricsW(screen, &tm);
  SIZE abc = {};
  const wchar_t letters[] = L"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
  GetTextExtentPoint32W(screen, letters, 52, &abc);
  SelectObject(screen, old);
  ReleaseDC(nullptr, screen);
  const int base_x = (abc.cx / 26 + 1) / 2, base_y = tm.tmHeight;
  const int px = MulDiv(cx, base_x, 4), py = MulDiv(cy, base_y, 8);
  return {MulDiv(px, 2540, dpi_x), MulDiv(py, 2540, dpi_y)};
}

COLORREF TranslateOleColor(OLE_COLOR color) {
  COLORREF rgb = 0;
  return SUCCEEDED(OleTranslateColor(color, nullptr, &rgb)) ? rgb : GetSysColor(COLOR_BTNFACE);
}

}  // namespace

COvTransferControl::COvTransferControl(IUnknown* outer)
    : CComBase(outer), events_(static_cast<IConnectionPointContainer*>(this), DIID__IOvTransferControlEvents) {
  natural_extent_ = DialogUnitsToHimetric(358, 94);
  extent_ = natural_extent_;
}

COvTransferControl::~COvTransferControl() = default;

void* COvTransferControl::FindInterface(REFIID iid) {
  using C = COvTransferControl;
  static const com::QiEntry<C> table[] = {
      COM_QI(C, IOvTransferControl),
      COM_QI_VIA(C, IDispatch, IOvTransferControl),
      COM_QI(C, IViewObjectEx),
      COM_QI_VIA(C, IViewObject2, IViewObjectEx),
      COM_QI_VIA(C, IViewObject, IViewObjectEx),
      COM_QI(C, IOleInPlaceObjectWindowless),
      COM_QI_VIA(C, IOleInPlaceObject, IOleInPlaceObjectWindowless),
      COM_QI_VIA(C, IOleWindow, IOleInPlaceObjectWindowless),
      COM_QI(C, IOleInPlaceActiveObject),
      COM_QI(C, IOleControl),
      COM_QI(C, IOleObject),
      COM_QI(C, IPersistStreamInit),
      COM_QI_VIA(C, IPersist, IPersistStreamInit),
      COM_QI(C, ISupportErrorInfo),
      COM_QI(C, IConnectionPointContainer),
      COM_QI(C, IPersistPropertyBag),
      COM_QI(C, ISpecifyPropertyPages),
      COM_QI(C, IQuickActivate),
      COM_QI(C, IPersistStorage),
      COM_QI(C, IDataObject),
      COM_QI_VIA(C, IProvideClassInfo, IProvideClassInfo2),
      COM_QI(C, IProvideClassInfo2),
  };
  return com::FindInTable(this, table, iid);
}

void COvTransferControl::FinalRelease() {
  Close();  // the scripting Close: save and empty the queue, forget the user
  InPlaceDeactivate();
  if (window_) DestroyWindow(window_);
  events_.DisconnectAll();
  SetClientSite(nullptr);
  view_sink_.Reset();
  NetSupport_.Reset();
}

// ---- IOleObject ----

STDMETHODIMP COvTransferControl::SetClientSite(IOleClientSite* site) {
  client_site_ = site;
  if (site) ReadAmbientBackColor();
  return S_OK;
}

STDMETHODIMP COvTransferControl::GetClientSite(IOleClientSite** site) {
  if (!site) return E_POINTER;
  *site = client_site_.Get();
  if (*site) (*site)->AddRef();
  return S_OK;
}

STDMETHODIMP COvTransferControl::Close(DWORD save_option) {
  InPlaceDeactivate();
  if (client_site_ && dirty_ && (save_option == OLECLOSE_SAVEIFDIRTY || save_option == OLECLOSE_PROMPTSAVE)) {
    client_site_->SaveObject();
    dirty_ = false;
  }
  if (ole_advise_) ole_advise_->SendOnClose();
  return S_OK;
}

STDMETHODIMP COvTransferControl::DoVerb(LONG verb, LPMSG, IOleClientSite* site, LONG, HWND, LPCRECT) {
  if (!client_site_ && site) SetClientSite(site);
  switch (verb) {
    case OLEIVERB_PRIMARY:
    case OLEIVERB_SHOW:
    case OLEIVERB_UIACTIVATE:
      return InPlaceActivate(OLEIVERB_UIACTIVATE);
    case OLEIVERB_INPLACEACTIVATE:
      return InPlaceActivate(OLEIVERB_INPLACEACTIVATE);
    case OLEIVERB_HIDE:
      UIDeactivate();
      if (window_) ShowWindow(window_, SW_HIDE);
      return S_OK;
    case OLEIVERB_PROPERTIES:
      return S_OK;  // no property pages
    default:
      return verb < 0 ? E_NOTIMPL : OLEOBJ_S_INVALIDVERB;
  }
}

STDMETHODIMP COvTransferControl::EnumVerbs(IEnumOLEVERB** verbs) { return OleRegEnumVerbs(CLSID_OvTransferControl, verbs); }

STDMETHODIMP COvTransferControl::GetUserClassID(CLSID* clsid) { return GetClassID(clsid); }

STDMETHODIMP COvTransferControl::GetUserType(DWORD form, LPOLESTR* type) {
  return OleRegGetUserType(CLSID_OvTransferControl, form, type);
}

STDMETHODIMP COvTransferControl::SetExtent(DWORD aspect, SIZEL* size) {
  if (aspect != DVASPECT_CONTENT) return DV_E_DVASPECT;
  if (!size) return E_POINTER;
  if (size->cx != extent_.cx || size->cy != extent_.cy) {
    extent_ = *size;
    dirty_ = true;
    ViewChanged();
  }
  return S_OK;
}

STDMETHODIMP COvTransferControl::GetExtent(DWORD aspect, SIZEL* size) {
  if (aspect != DVASPECT_CONTENT) return DV_E_DVASPECT;
  if (!size) return E_POINTER;
  *size = extent_;
  return S_OK;
}

STDMETHODIMP COvTransferControl::Advise(IAdviseSink* sink, DWORD* cookie) {
  if (!ole_advise_) RETURN_IF_FAILED(CreateOleAdviseHolder(ole_advise_.Receive()));
  return ole_advise_->Advise(sink, cookie);
}

STDMETHODIMP COvTransferControl::Unadvise(DWORD cookie) {
  return ole_advise_ ? ole_advise_->Unadvise(cookie) : OLE_E_NOCONNECTION;
}

STDMETHODIMP COvTransferControl::EnumAdvise(IEnumSTATDATA** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  return ole_advise_ ? ole_advise_->EnumAdvise(out) : E_FAIL;
}

STDMETHODIMP COvTransferControl::GetMiscStatus(DWORD aspect, DWORD* status) {
  if (!status) return E_POINTER;
  *status = aspect == DVASPECT_CONTENT ? kMiscStatus : 0;
  return S_OK;
}

// ---- In-place activation ----

HRESULT COvTransferControl::InPlaceActivate(LONG verb) {
  if (!client_site_) return E_UNEXPECTED;
  if (!in_place_active_) {
    RETURN_IF_FAILED(client_site_.As(&in_place_site_, IID_IOleInPlaceSite));
    if (in_place_site_->CanInPlaceActivate() != S_OK) {
      in_place_site_.Reset();
      return E_FAIL;
    }
    in_place_active_ = true;
    in_place_site_->OnInPlaceActivate();
  }

  com::ComPtr<IOleInPlaceFrame> frame;
  com::ComPtr<IOleInPlaceUIWindow> document;
  RECT position = {}, clip = {};
  OLEINPLACEFRAMEINFO frame_info = {};
  frame_info.cb = sizeof(frame_info);
  in_place_site_->GetWindowContext(frame.Receive(), document.Receive(), &position, &clip, &frame_info);

  if (!window_) {
    HWND parent = nullptr;
    if (FAILED(in_place_site_->GetWindow(&parent)) || !parent) return E_FAIL;
    RETURN_IF_FAILED(CreateControlWindow(parent, position));
    SetObjectRects(&position, &clip);
  }
  ShowWindow(window_, SW_SHOWNA);

  if (verb == OLEIVERB_UIACTIVATE && !ui_active_) {
    ui_active_ = true;
    in_place_site_->OnUIActivate();
    if (!IsChild(window_, GetFocus())) SetFocus(window_);
    IOleInPlaceActiveObject* active = this;
    if (frame) {
      frame->SetActiveObject(active, nullptr);
      frame->SetBorderSpace(nullptr);
    }
    if (document) {
      document->SetActiveObject(active, nullptr);
      document->SetBorderSpace(nullptr);
    }
  }
  client_site_->ShowObject();
  return S_OK;
}

STDMETHODIMP COvTransferControl::InPlaceDeactivate() {
  if (!in_place_active_) return S_OK;
  UIDeactivate();
  in_place_active_ = false;
  if (window_) DestroyWindow(window_);
  com::ComPtr<IOleInPlaceSite> site = in_place_site_;
  in_place_site_.Reset();
  site->OnInPlaceDeactivate();
  return S_OK;
}

STDMETHODIMP COvTransferControl::UIDeactivate() {
  if (!ui_active_) return S_OK;
  ui_active_ = false;
  if (in_place_site_) {
    com::ComPtr<IOleInPlaceFrame> frame;
    com::ComPtr<IOleInPlaceUIWindow> document;
    RECT position, clip;
    OLEINPLACEFRAMEINFO frame_info = {};
  frame_info.cb = sizeof(frame_info);
    if (SUCCEEDED(in_place_site_->GetWindowContext(frame.Receive(), document.Receive(), &position, &clip,
                                                   &frame_info))) {
      if (document) document->SetActiveObject(nullptr, nullptr);
      if (frame) frame->SetActiveObject(nullptr, nullptr);
    }
    in_place_site_->OnUIDeactivate(FALSE);
  }
  return S_OK;
}

STDMETHODIMP COvTransferControl::GetWindow(HWND* window) {
  if (!window) return E_POINTER;
  *window = window_;
  return window_ ? S_OK : E_FAIL;
}

STDMETHODIMP COvTransferControl::SetObjectRects(LPCRECT position, LPCRECT clip) {
  if (!position) return E_POINTER;
  if (!window_) return S_OK;
  MoveWindow(window_, position->left, position->top, position->right - position->left,
             position->bottom - position->top, TRUE);
  // Show only the part inside the container's clipping rectangle.
  RECT visible;
  if (clip && IntersectRect(&visible, position, clip) && !EqualRect(&visible, position)) {
    OffsetRect(&visible, -position->left, -position->top);
    SetWindowRgn(window_, CreateRectRgnIndirect(&visible), TRUE);
  } else {
    SetWindowRgn(window_, nullptr, TRUE);
  }
  return S_OK;
}

STDMETHODIMP COvTransferControl::TranslateAccelerator(MSG* msg) {
  if (!msg || !window_) return S_FALSE;
  // Tab and arrow keys move between the dialog's items, as in any dialog.
  if (msg->message >= WM_KEYFIRST && msg->message <= WM_KEYLAST && IsDialogMessageW(window_, msg)) return S_OK;
  return S_FALSE;
}

// ---- IOleControl and ambient properties ----

STDMETHODIMP COvTransferControl::OnAmbientPropertyChange(DISPID id) {
  if (id == DISPID_AMBIENT_BACKCOLOR || id == DISPID_UNKNOWN) {
    ReadAmbientBackColor();
    Repaint();
  }
  return S_OK;
}

void COvTransferControl::ReadAmbientBackColor() {
  com::ComPtr<IDispatch> ambient;
  if (!client_site_ || FAILED(client_site_.As(&ambient, IID_IDispatch))) return;
  com::UniqueVariant value;
  DISPPARAMS none = {nullptr, nullptr, 0, 0};
  if (SUCCEEDED(ambient->Invoke(DISPID_AMBIENT_BACKCOLOR, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYGET, &none,
                                value.Receive(), nullptr, nullptr)) &&
      SUCCEEDED(VariantChangeType(value.Address(), value.Address(), 0, VT_UI4))) {
    back_color_ = TranslateOleColor(value.Get().ulVal);
    back_brush_.Reset();  // made again in the new colour when next asked for
  }
}

void COvTransferControl::Repaint() {
  if (window_)
    RedrawWindow(window_, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN);
  else
    ViewChanged();
}

void COvTransferControl::ViewChanged() {
  if (view_sink_) view_sink_->OnViewChange(DVASPECT_CONTENT, -1);
}

// ---- IViewObjectEx ----

HRESULT COvTransferControl::DrawContent(HDC dc, const RECT& bounds) {
  com::UniqueGdi<HBRUSH> brush(CreateSolidBrush(back_color_));
  FillRect(dc, &bounds, brush.Get());
  RECT edge = bounds;
  DrawEdge(dc, &edge, EDGE_SUNKEN, BF_RECT);
  return S_OK;
}

STDMETHODIMP COvTransferControl::Draw(DWORD aspect, LONG, void*, DVTARGETDEVICE*, HDC, HDC dc, LPCRECTL bounds,
                                      LPCRECTL, BOOL(STDMETHODCALLTYPE*)(ULONG_PTR), ULONG_PTR) {
  if (aspect != DVASPECT_CONTENT) return DV_E_DVASPECT;
  if (!dc) return E_INVALIDARG;
  RECT area;
  if (bounds) {
    area = {bounds->left, bounds->top, bounds->right, bounds->bottom};
  } else if (window_) {
    GetClientRect(window_, &area);  // a windowed control draws itself at its own origin
  } else {
    return E_INVALIDARG;
  }
  return DrawContent(dc, area);
}

STDMETHODIMP COvTransferControl::GetColorSet(DWORD, LONG, void*, DVTARGETDEVICE*, HDC, LOGPALETTE**) {
  return E_NOTIMPL;
}

STDMETHODIMP COvTransferControl::Freeze(DWORD, LONG, void*, DWORD*) { return E_NOTIMPL; }
STDMETHODIMP COvTransferControl::Unfreeze(DWORD) { return E_NOTIMPL; }

STDMETHODIMP COvTransferControl::SetAdvise(DWORD aspects, DWORD flags, IAdviseSink* sink) {
  view_sink_ = sink;
  view_sink_aspects_ = aspects;
  view_sink_flags_ = flags;
  return S_OK;
}

STDMETHODIMP COvTransferControl::GetAdvise(DWORD* aspects, DWORD* flags, IAdviseSink** sink) {
  if (aspects) *aspects = view_sink_aspects_;
  if (flags) *flags = view_sink_flags_;
  if (sink) {
    *sink = view_sink_.Get();
    if (*sink) (*sink)->AddRef();
  }
  return S_OK;
}

STDMETHODIMP COvTransferControl::GetExtent(DWORD aspect, LONG, DVTARGETDEVICE*, LPSIZEL size) {
  return GetExtent(aspect, size);
}

STDMETHODIMP COvTransferControl::GetRect(DWORD aspect, LPRECTL rect) {
  if (aspect != DVASPECT_CONTENT) return DV_E_DVASPECT;
  if (!rect) return E_POINTER;
  *rect = {0, 0, extent_.cx, extent_.cy};
  return S_OK;
}

STDMETHODIMP COvTransferControl::GetViewStatus(DWORD* status) {
  if (!status) return E_POINTER;
  *status = kViewStatus;
  return S_OK;
}

STDMETHODIMP COvTransferControl::QueryHitPoint(DWORD aspect, LPCRECT bounds, POINT where, LONG, DWORD* result) {
  if (aspect != DVASPECT_CONTENT) return DV_E_DVASPECT;
  if (!bounds || !result) return E_POINTER;
  *result = PtInRect(bounds, where) ? HITRESULT_HIT : HITRESULT_OUTSIDE;
  return S_OK;
}

STDMETHODIMP COvTransferControl::QueryHitRect(DWORD aspect, LPCRECT bounds, LPCRECT rect, LONG, DWORD* result) {
  if (aspect != DVASPECT_CONTENT) return DV_E_DVASPECT;
  if (!bounds || !rect || !result) return E_POINTER;
  RECT common;
  *result = IntersectRect(&common, bounds, rect) ? HITRESULT_HIT : HITRESULT_OUTSIDE;
  return S_OK;
}

STDMETHODIMP COvTransferControl::GetNaturalExtent(DWORD aspect, LONG, DVTARGETDEVICE*, HDC, DVEXTENTINFO* info,
                                                  LPSIZEL size) {
  if (aspect != DVASPECT_CONTENT) return DV_E_DVASPECT;
  if (!info || !size) return E_POINTER;
  if (info->dwExtentMode != DVEXTENT_CONTENT) return E_NOTIMPL;
  *size = natural_extent_;
  return S_OK;
}

// ---- IQuickActivate ----

STDMETHODIMP COvTransferControl::QuickActivate(QACONTAINER* container, QACONTROL* control) {
  if (!container || !control) return E_POINTER;
  SetClientSite(container->pClientSite);
  if (container->pAdviseSink) SetAdvise(DVASPECT_CONTENT, 0, container->pAdviseSink);
  back_color_ = TranslateOleColor(container->colorBack);
  control->dwMiscStatus = kMiscStatus;
  control->dwViewStatus = kViewStatus;
  control->dwEventCookie = 0;
  control->dwPropNotifyCookie = 0;
  control->dwPointerActivationPolicy = 0;
  if (container->pUnkEventSink) events_.Advise(container->pUnkEventSink, &control->dwEventCookie);
  return S_OK;
}

STDMETHODIMP COvTransferControl::SetContentExtent(LPSIZEL size) { return SetExtent(DVASPECT_CONTENT, size); }

STDMETHODIMP COvTransferControl::GetContentExtent(LPSIZEL size) { return GetExtent(DVASPECT_CONTENT, size); }

// ---- IDataObject: a metafile picture of the control, for containers that print ----

STDMETHODIMP COvTransferControl::QueryGetData(FORMATETC* format) {
  if (!format) return E_POINTER;
  if (format->cfFormat != CF_METAFILEPICT) return DV_E_FORMATETC;
  if (!(format->tymed & TYMED_MFPICT)) return DV_E_TYMED;
  return format->dwAspect == DVASPECT_CONTENT ? S_OK : DV_E_DVASPECT;
}

STDMETHODIMP COvTransferControl::GetData(FORMATETC* format, STGMEDIUM* medium) {
  if (!medium) return E_POINTER;
  HRESULT hr = QueryGetData(format);
  if (hr != S_OK) return hr;
  HDC meta = CreateMetaFileW(nullptr);
  if (!meta) return E_OUTOFMEMORY;
  // Drawn in HIMETRIC so the picture keeps the control's extent.
  SetMapMode(meta, MM_ANISOTROPIC);
  SetWindowOrgEx(meta, 0, 0, nullptr);
  SetWindowExtEx(meta, extent_.cx, extent_.cy, nullptr);
  RECT all = {0, 0, extent_.cx, extent_.cy};
  DrawContent(meta, all);
  HMETAFILE picture = CloseMetaFile(meta);
  HGLOBAL global = GlobalAlloc(GMEM_MOVEABLE | GMEM_SHARE, sizeof(METAFILEPICT));
  if (!picture || !global) {
    if (picture) DeleteMetaFile(picture);
    if (global) GlobalFree(global);
    return E_OUTOFMEMORY;
  }
  auto* pict = static_cast<METAFILEPICT*>(GlobalLock(global));
  *pict = {MM_ANISOTROPIC, extent_.cx, extent_.cy, picture};
  GlobalUnlock(global);
  medium->tymed = TYMED_MFPICT;
  medium->hGlobal = global;
  medium->pUnkForRelease = nullptr;
  return S_OK;
}

STDMETHODIMP COvTransferControl::GetCanonicalFormatEtc(FORMATETC*, FORMATETC* out) {
  if (out) out->ptd = nullptr;
  return E_NOTIMPL;
}

STDMETHODIMP COvTransferControl::DAdvise(FORMATETC* format, DWORD flags, IAdviseSink* sink, DWORD* cookie) {
  if (!data_advise_) RETURN_IF_FAILED(CreateDataAdviseHolder(data_advise_.Receive()));
  return data_advise_->Advise(static_cast<IDataObject*>(this), format, flags, sink, cookie);
}

STDMETHODIMP COvTransferControl::DUnadvise(DWORD cookie) {
  return data_advise_ ? data_advise_->Unadvise(cookie) : OLE_E_NOCONNECTION;
}

STDMETHODIMP COvTransferControl::EnumDAdvise(IEnumSTATDATA** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  return data_advise_ ? data_advise_->EnumAdvise(out) : E_FAIL;
}

// ---- Class information, property pages, connection points ----

STDMETHODIMP COvTransferControl::GetClassInfo(ITypeInfo** info) {
  if (!info) return E_POINTER;
  *info = nullptr;
  com::ComPtr<ITypeLib> lib;
  HRESULT hr = com::LoadModuleTypeLib(lib.Receive());
  return FAILED(hr) ? hr : lib->GetTypeInfoOfGuid(CLSID_OvTransferControl, info);
}

STDMETHODIMP COvTransferControl::GetGUID(DWORD kind, GUID* guid) {
  if (!guid) return E_POINTER;
  if (kind != GUIDKIND_DEFAULT_SOURCE_DISP_IID) {
    *guid = GUID_NULL;
    return E_INVALIDARG;
  }
  *guid = DIID__IOvTransferControlEvents;
  return S_OK;
}

STDMETHODIMP COvTransferControl::GetPages(CAUUID* pages) {
  if (!pages) return E_POINTER;
  pages->cElems = 0;
  pages->pElems = nullptr;
  return S_OK;
}

STDMETHODIMP COvTransferControl::EnumConnectionPoints(IEnumConnectionPoints** out) {
  return CreateConnectionPointEnumerator(&events_, out);
}

STDMETHODIMP COvTransferControl::FindConnectionPoint(REFIID iid, IConnectionPoint** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (!IsEqualIID(iid, DIID__IOvTransferControlEvents)) return CONNECT_E_NOCONNECTION;
  *out = &events_;
  events_.AddRef();
  return S_OK;
}
