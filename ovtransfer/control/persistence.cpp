// Persistence of the control's property list ("_cx", "_cy", then the four page properties)
// through a property bag (PARAM elements), a stream and a storage.
#include "../com/result.h"
#include "ov_transfer_control.h"

namespace {

constexpr DWORD kStreamVersion = 1;
constexpr DWORD kNullString = 0xFFFFFFFF;
constexpr DWORD kMaxStringChars = 1 << 20;  // a stream is outside data: no huge allocations from it
constexpr wchar_t kContentsStream[] = L"Contents";

HRESULT WriteExact(IStream* stream, const void* data, ULONG size) {
  ULONG written = 0;
  HRESULT hr = stream->Write(data, size, &written);
  return FAILED(hr) ? hr : (written == size ? S_OK : STG_E_MEDIUMFULL);
}

HRESULT ReadExact(IStream* stream, void* data, ULONG size) {
  ULONG read = 0;
  HRESULT hr = stream->Read(data, size, &read);
  return FAILED(hr) ? hr : (read == size ? S_OK : STG_E_READFAULT);
}

HRESULT WriteDword(IStream* stream, DWORD value) { return WriteExact(stream, &value, sizeof(value)); }

HRESULT ReadDword(IStream* stream, DWORD* value) { return ReadExact(stream, value, sizeof(*value)); }

HRESULT WriteString(IStream* stream, BSTR text) {
  const DWORD chars = text ? SysStringLen(text) : kNullString;
  RETURN_IF_FAILED(WriteDword(stream, chars));
  if (!text) return S_OK;
  return WriteExact(stream, text, chars * sizeof(wchar_t));
}

HRESULT ReadString(IStream* stream, com::Bstr* text) {
  DWORD chars = 0;
  RETURN_IF_FAILED(ReadDword(stream, &chars));
  if (chars == kNullString) {
    *text = com::Bstr();
    return S_OK;
  }
  RETURN_HR_IF(STG_E_READFAULT, chars > kMaxStringChars);
  com::Bstr value;
  *value.Receive() = SysAllocStringLen(nullptr, chars);
  RETURN_HR_IF(E_OUTOFMEMORY, value.IsNull());
  RETURN_IF_FAILED(ReadExact(stream, value.Get(), chars * sizeof(wchar_t)));
  *text = std::move(value);
  return S_OK;
}

}  // namespace

STDMETHODIMP COvTransferControl::GetClassID(CLSID* clsid) {
  if (!clsid) return E_POINTER;
  *clsid = CLSID_OvTransferControl;
  return S_OK;
}

HRESULT COvTransferControl::SaveProperties(IStream* stream) {
  for (DWORD value : {kStreamVersion, static_cast<DWORD>(extent_.cx), static_cast<DWORD>(extent_.cy)})
    RETURN_IF_FAILED(WriteDword(stream, value));
  RETURN_IF_FAILED(WriteString(stream, DatabaseGUID_.Get()));
  RETURN_IF_FAILED(WriteDword(stream, static_cast<DWORD>(EnabledRate_)));
  RETURN_IF_FAILED(WriteDword(stream, UploadRate_));
  return WriteString(stream, SnapshotUploadUrl_.Get());
}

HRESULT COvTransferControl::LoadProperties(IStream* stream) {
  // Everything is read first, so a damaged stream changes nothing.
  DWORD version = 0, cx = 0, cy = 0, enabled = 0, rate = 0;
  com::Bstr guid, url;
  RETURN_IF_FAILED(ReadDword(stream, &version));
  RETURN_HR_IF(STG_E_OLDFORMAT, version != kStreamVersion);
  RETURN_IF_FAILED(ReadDword(stream, &cx));
  RETURN_IF_FAILED(ReadDword(stream, &cy));
  RETURN_IF_FAILED(ReadString(stream, &guid));
  RETURN_IF_FAILED(ReadDword(stream, &enabled));
  RETURN_IF_FAILED(ReadDword(stream, &rate));
  RETURN_IF_FAILED(ReadString(stream, &url));
  extent_ = {static_cast<LONG>(cx), static_cast<LONG>(cy)};
  put_DatabaseGUID(guid.Get());
  put_EnabledRate(static_cast<LONG>(enabled));
  put_UploadRate(rate);
  put_SnapshotUploadUrl(url.Get());
  dirty_ = false;
  return S_OK;
}

STDMETHODIMP COvTransferControl::Load(IStream* stream) {
  if (!stream) return E_POINTER;
  return LoadProperties(stream);
}

STDMETHODIMP COvTransferControl::Save(IStream* stream, BOOL clear_dirty) {
  if (!stream) return E_POINTER;
  HRESULT hr = SaveProperties(stream);
  if (SUCCEEDED(hr) && clear_dirty) dirty_ = false;
  return hr;
}

STDMETHODIMP COvTransferControl::GetSizeMax(ULARGE_INTEGER* size) {
  if (!size) return E_POINTER;
  const auto chars = [](const com::Bstr& s) -> ULONGLONG { return s.IsNull() ? 0 : s.Length(); };
  size->QuadPart = 7 * sizeof(DWORD) + (chars(DatabaseGUID_) + chars(SnapshotUploadUrl_)) * sizeof(wchar_t);
  return S_OK;
}

STDMETHODIMP COvTransferControl::InitNew() {
  dirty_ = false;
  return S_OK;
}

STDMETHODIMP COvTransferControl::Load(IPropertyBag* bag, IErrorLog* log) {
  if (!bag) return E_POINTER;
  // A property the bag does not hold keeps its value, as a PARAM left off the page does.
  com::UniqueVariant v;
  const auto read = [&](const wchar_t* name, VARTYPE type) {
    // What the last read left (a text a number could not be made of, say) is given back first.
    VARIANT* value = v.Receive();
    value->vt = type;
    return SUCCEEDED(bag->Read(name, value, log)) && SUCCEEDED(VariantChangeType(value, value, 0, type));
  };
  if (read(L"_cx", VT_UI4)) extent_.cx = static_cast<LONG>(v.Get().ulVal);
  if (read(L"_cy", VT_UI4)) extent_.cy = static_cast<LONG>(v.Get().ulVal);
  if (read(L"DatabaseGUID", VT_BSTR)) put_DatabaseGUID(v.Get().bstrVal);
  if (read(L"EnabledRate", VT_I4)) put_EnabledRate(v.Get().lVal);
  if (read(L"UploadRate", VT_UI4)) put_UploadRate(v.Get().ulVal);
  if (read(L"SnapshotUploadUrl", VT_BSTR)) put_SnapshotUploadUrl(v.Get().bstrVal);
  dirty_ = false;
  return S_OK;
}

HRESULT COvTransferControl::WriteProperty(IPropertyBag* bag, const wchar_t* name, VARIANT value) {
  com::UniqueVariant owned(value);
  return bag->Write(name, owned.Address());
}

STDMETHODIMP COvTransferControl::Save(IPropertyBag* bag, BOOL clear_dirty, BOOL) {
  if (!bag) return E_POINTER;
  VARIANT v;
  const auto number = [&v](VARTYPE type, ULONG n) -> VARIANT& {
    VariantInit(&v);
    v.vt = type;
    v.ulVal = n;
    return v;
  };
  const auto text = [&v](BSTR s) -> VARIANT& {
    VariantInit(&v);
    v.vt = VT_BSTR;
    v.bstrVal = s ? SysAllocStringLen(s, SysStringLen(s)) : nullptr;
    return v;
  };
  HRESULT hr = WriteProperty(bag, L"_cx", number(VT_UI4, static_cast<ULONG>(extent_.cx)));
  if (SUCCEEDED(hr)) hr = WriteProperty(bag, L"_cy", number(VT_UI4, static_cast<ULONG>(extent_.cy)));
  if (SUCCEEDED(hr)) hr = WriteProperty(bag, L"DatabaseGUID", text(DatabaseGUID_.Get()));
  if (SUCCEEDED(hr)) hr = WriteProperty(bag, L"EnabledRate", number(VT_I4, static_cast<ULONG>(EnabledRate_)));
  if (SUCCEEDED(hr)) hr = WriteProperty(bag, L"UploadRate", number(VT_UI4, UploadRate_));
  if (SUCCEEDED(hr)) hr = WriteProperty(bag, L"SnapshotUploadUrl", text(SnapshotUploadUrl_.Get()));
  if (SUCCEEDED(hr) && clear_dirty) dirty_ = false;
  return hr;
}

STDMETHODIMP COvTransferControl::InitNew(IStorage* storage) { return storage ? InitNew() : E_POINTER; }

STDMETHODIMP COvTransferControl::Load(IStorage* storage) {
  if (!storage) return E_POINTER;
  com::ComPtr<IStream> stream;
  HRESULT hr = storage->OpenStream(kContentsStream, nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, 0, stream.Receive());
  return FAILED(hr) ? hr : LoadProperties(stream.Get());
}

STDMETHODIMP COvTransferControl::Save(IStorage* storage, BOOL) {
  if (!storage) return E_POINTER;
  com::ComPtr<IStream> stream;
  HRESULT hr = storage->CreateStream(kContentsStream, STGM_WRITE | STGM_SHARE_EXCLUSIVE | STGM_CREATE, 0, 0,
                                     stream.Receive());
  return FAILED(hr) ? hr : SaveProperties(stream.Get());
}
