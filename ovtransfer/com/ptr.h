// Owning wrappers for COM pointers and BSTRs; handles have their owners in unique.h.
#pragma once
#include <windows.h>
#include <oleauto.h>
#include <string>
#include <utility>

#include "text.h"
#include "unique.h"

namespace com {

template <class T>
class ComPtr {
 public:
  ComPtr() = default;
  ComPtr(T* p) : p_(p) { if (p_) p_->AddRef(); }
  ComPtr(const ComPtr& o) : ComPtr(o.p_) {}
  ComPtr(ComPtr&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  ~ComPtr() { Reset(); }
  ComPtr& operator=(ComPtr o) noexcept { std::swap(p_, o.p_); return *this; }

  void Reset() { if (T* p = std::exchange(p_, nullptr)) p->Release(); }
  // Receives a new reference from an out parameter.
  T** Receive() { Reset(); return &p_; }
  void** ReceiveVoid() { return reinterpret_cast<void**>(Receive()); }
  T* Get() const { return p_; }
  T* operator->() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }
  T* Detach() { return std::exchange(p_, nullptr); }

  template <class U>
  HRESULT As(ComPtr<U>* out, REFIID iid) const {
    return p_ ? p_->QueryInterface(iid, out->ReceiveVoid()) : E_POINTER;
  }

 private:
  T* p_ = nullptr;
};

// A BSTR that is freed with its owner. Null and empty are both "empty" to readers.
class Bstr {
 public:
  Bstr() = default;
  explicit Bstr(const wchar_t* s) : b_(s ? SysAllocString(s) : nullptr) {}
  explicit Bstr(const std::wstring& s)
      : b_(SysAllocStringLen(s.data(), static_cast<UINT>(s.size()))) {}
  Bstr(const Bstr& o) : b_(o.b_ ? SysAllocStringLen(o.b_, SysStringLen(o.b_)) : nullptr) {}
  Bstr(Bstr&& o) noexcept : b_(std::exchange(o.b_, nullptr)) {}
  ~Bstr() { SysFreeString(b_); }
  Bstr& operator=(Bstr o) noexcept { std::swap(b_, o.b_); return *this; }

  BSTR Get() const { return b_; }
  BSTR* Receive() { SysFreeString(b_); b_ = nullptr; return &b_; }
  BSTR Detach() { return std::exchange(b_, nullptr); }
  bool IsNull() const { return b_ == nullptr; }
  UINT Length() const { return SysStringLen(b_); }
  std::wstring Str() const { return BstrText(b_); }

 private:
  BSTR b_ = nullptr;
};

// A copy of a BSTR that keeps null as null (the properties hand back exactly what was put).
inline HRESULT CopyBstr(BSTR from, BSTR* to) {
  if (!to) return E_POINTER;
  *to = from ? SysAllocStringLen(from, SysStringLen(from)) : nullptr;
  return (from && !*to) ? E_OUTOFMEMORY : S_OK;
}

}  // namespace com
