#include "connection_point.h"

#include <olectl.h>

#include "../com/object.h"

namespace {

// A snapshot enumerator over COM pointers or CONNECTDATA records.
template <class Enum, class Item, const IID& kIid>
class CSnapshotEnum final : public com::CComBase, public Enum {
 public:
  CSnapshotEnum(std::vector<Item> items, size_t pos = 0) : CComBase(nullptr), items_(std::move(items)), pos_(pos) {
    for (Item& i : items_) Unknown(i)->AddRef();
  }
  ~CSnapshotEnum() override {
    for (Item& i : items_) Unknown(i)->Release();
  }
  static HRESULT Create(std::vector<Item> items, size_t pos, Enum** out) {
    auto* e = new (std::nothrow) CSnapshotEnum(std::move(items), pos);
    if (!e) return E_OUTOFMEMORY;
    e->Inner()->AddRef();
    HRESULT hr = e->Inner()->QueryInterface(kIid, reinterpret_cast<void**>(out));
    e->Inner()->Release();
    return hr;
  }

  COM_DELEGATE_IUNKNOWN

  STDMETHODIMP Next(ULONG count, Item* out, ULONG* fetched) override {
    if (!out || (count > 1 && !fetched)) return E_POINTER;
    ULONG n = 0;
    for (; n < count && pos_ < items_.size(); ++n, ++pos_) {
      out[n] = items_[pos_];
      Unknown(out[n])->AddRef();
    }
    if (fetched) *fetched = n;
    return n == count ? S_OK : S_FALSE;
  }
  STDMETHODIMP Skip(ULONG count) override {
    size_t left = items_.size() - pos_;
    pos_ += count < left ? count : left;
    return count <= left ? S_OK : S_FALSE;
  }
  STDMETHODIMP Reset() override {
    pos_ = 0;
    return S_OK;
  }
  STDMETHODIMP Clone(Enum** out) override {
    if (!out) return E_POINTER;
    return Create(items_, pos_, out);
  }

 protected:
  void* FindInterface(REFIID iid) override { return IsEqualIID(iid, kIid) ? static_cast<Enum*>(this) : nullptr; }

 private:
  static IUnknown* Unknown(IConnectionPoint* p) { return p; }
  static IUnknown* Unknown(const CONNECTDATA& d) { return d.pUnk; }

  std::vector<Item> items_;
  size_t pos_;
};

using CConnectionPointEnum = CSnapshotEnum<IEnumConnectionPoints, IConnectionPoint*, IID_IEnumConnectionPoints>;
using CConnectionEnum = CSnapshotEnum<IEnumConnections, CONNECTDATA, IID_IEnumConnections>;

}  // namespace

STDMETHODIMP CEventConnectionPoint::QueryInterface(REFIID iid, void** out) {
  if (!out) return E_POINTER;
  if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IConnectionPoint)) {
    *out = static_cast<IConnectionPoint*>(this);
    AddRef();
    return S_OK;
  }
  *out = nullptr;
  return E_NOINTERFACE;
}

STDMETHODIMP CEventConnectionPoint::GetConnectionInterface(IID* iid) {
  if (!iid) return E_POINTER;
  *iid = events_;
  return S_OK;
}

STDMETHODIMP CEventConnectionPoint::GetConnectionPointContainer(IConnectionPointContainer** out) {
  if (!out) return E_POINTER;
  *out = owner_;
  owner_->AddRef();
  return S_OK;
}

STDMETHODIMP CEventConnectionPoint::Advise(IUnknown* sink, DWORD* cookie) {
  if (!cookie) return E_POINTER;
  *cookie = 0;
  if (!sink) return E_POINTER;
  com::ComPtr<IUnknown> events;
  if (FAILED(sink->QueryInterface(events_, events.ReceiveVoid()))) return CONNECT_E_CANNOTCONNECT;
  *cookie = next_cookie_++;
  sinks_.push_back({*cookie, events});
  return S_OK;
}

STDMETHODIMP CEventConnectionPoint::Unadvise(DWORD cookie) {
  for (auto it = sinks_.begin(); it != sinks_.end(); ++it)
    if (it->cookie == cookie) {
      sinks_.erase(it);
      return S_OK;
    }
  return CONNECT_E_NOCONNECTION;
}

STDMETHODIMP CEventConnectionPoint::EnumConnections(IEnumConnections** out) {
  if (!out) return E_POINTER;
  std::vector<CONNECTDATA> data;
  for (const Sink& s : sinks_) data.push_back({s.unknown.Get(), s.cookie});
  return CConnectionEnum::Create(std::move(data), 0, out);
}

HRESULT CreateConnectionPointEnumerator(IConnectionPoint* point, IEnumConnectionPoints** out) {
  if (!out) return E_POINTER;
  return CConnectionPointEnum::Create({point}, 0, out);
}
