// Reference counting with aggregation and table-driven QueryInterface.
//
// A class derives from CComBase and from its interfaces, puts COM_DELEGATE_IUNKNOWN in its
// body and answers FindInterface from a QI table. Alone, the object is its own controlling
// unknown; aggregated, every interface delegates to the outer object and only Inner()
// counts the object's own references.
#pragma once
#include <windows.h>
#include <unknwn.h>
#include <new>

#include "module_lock.h"

namespace com {

class CComBase {
 public:
  CComBase(const CComBase&) = delete;
  CComBase& operator=(const CComBase&) = delete;

  // The non-delegating unknown, handed to an aggregating outer object.
  IUnknown* Inner() { return &inner_; }

 protected:
  explicit CComBase(IUnknown* outer);
  virtual ~CComBase();

  // Interface pointer for iid, or nullptr. IUnknown is answered by the base.
  virtual void* FindInterface(REFIID iid) = 0;
  // Runs once when the last reference goes, before the destructor; the object may still
  // be QueryInterface'd and AddRef'd meanwhile without being deleted twice.
  virtual void FinalRelease() {}

  HRESULT OuterQueryInterface(REFIID iid, void** out) { return outer_->QueryInterface(iid, out); }
  ULONG OuterAddRef() { return outer_->AddRef(); }
  ULONG OuterRelease() { return outer_->Release(); }

 private:
  struct InnerUnknown : IUnknown {
    explicit InnerUnknown(CComBase* owner) : owner(owner) {}
    CComBase* self() { return owner; }
    CComBase* owner;
    STDMETHODIMP QueryInterface(REFIID iid, void** out) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;
  };

  InnerUnknown inner_;
  IUnknown* outer_;
  LONG refs_ = 0;
};

// One row of a QI table: the interface id and how to reach it from the object.
template <class T>
struct QiEntry {
  const IID* iid;
  void* (*cast)(T*);
};

template <class T, size_t N>
void* FindInTable(T* self, const QiEntry<T> (&table)[N], REFIID iid) {
  for (const auto& e : table)
    if (IsEqualIID(*e.iid, iid)) return e.cast(self);
  return nullptr;
}

#define COM_QI(Class, Iface) {&IID_##Iface, [](Class* p) -> void* { return static_cast<Iface*>(p); }}
#define COM_QI_VIA(Class, Iface, Path) \
  {&IID_##Iface, [](Class* p) -> void* { return static_cast<Iface*>(static_cast<Path*>(p)); }}

#define COM_DELEGATE_IUNKNOWN                                                                   \
  STDMETHODIMP QueryInterface(REFIID iid, void** out) override { return OuterQueryInterface(iid, out); } \
  STDMETHODIMP_(ULONG) AddRef() override { return OuterAddRef(); }                             \
  STDMETHODIMP_(ULONG) Release() override { return OuterRelease(); }

// Creates T (constructed from outer) and hands out iid, following the aggregation rules:
// an aggregating outer object may ask only for IUnknown.
template <class T>
HRESULT CreateInstance(IUnknown* outer, REFIID iid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (outer && !IsEqualIID(iid, IID_IUnknown)) return CLASS_E_NOAGGREGATION;
  T* object = new (std::nothrow) T(outer);
  if (!object) return E_OUTOFMEMORY;
  IUnknown* inner = object->Inner();
  inner->AddRef();
  HRESULT hr = inner->QueryInterface(iid, out);
  inner->Release();  // the object goes if iid was refused
  return hr;
}

}  // namespace com
