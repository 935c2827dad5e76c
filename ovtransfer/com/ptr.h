// Owning wrappers for COM pointers, BSTRs, kernel handles and registry keys.
#pragma once
#include <windows.h>
#include <oleauto.h>
#include <string>
#include <utility>

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
  std::wstring Str() const { return b_ ? std::wstring(b_, SysStringLen(b_)) : std::wstring(); }

 private:
  BSTR b_ = nullptr;
};

// A copy of a BSTR that keeps null as null (the properties hand back exactly what was put).
inline HRESULT CopyBstr(BSTR from, BSTR* to) {
  if (!to) return E_POINTER;
  *to = from ? SysAllocStringLen(from, SysStringLen(from)) : nullptr;
  return (from && !*to) ? E_OUTOFMEMORY : S_OK;
}

class UniqueHandle {
 public:
  UniqueHandle() = default;
  explicit UniqueHandle(HANDLE h) : h_(h) {}
  UniqueHandle(UniqueHandle&& o) noexcept : h_(std::exchange(o.h_, nullptr)) {}
  UniqueHandle& operator=(UniqueHandle&& o) noexcept { std::swap(h_, o.h_); return *this; }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;
  ~UniqueHandle() { if (Valid()) CloseHandle(h_); }
  HANDLE Get() const { return h_; }
  bool Valid() const { return h_ && h_ != INVALID_HANDLE_VALUE; }

 private:
  HANDLE h_ = nullptr;
};

class RegKey {
 public:
  RegKey() = default;
  RegKey(RegKey&& o) noexcept : k_(std::exchange(o.k_, nullptr)) {}
  RegKey& operator=(RegKey&& o) noexcept { std::swap(k_, o.k_); return *this; }
  RegKey(const RegKey&) = delete;
  RegKey& operator=(const RegKey&) = delete;
  ~RegKey() { if (k_) RegCloseKey(k_); }

  LONG Open(HKEY parent, const wchar_t* path, REGSAM access) {
    Close();
    return RegOpenKeyExW(parent, path, 0, access, &k_);
  }
  LONG Create(HKEY parent, const wchar_t* path, REGSAM access = KEY_READ | KEY_WRITE) {
    Close();
    return RegCreateKeyExW(parent, path, 0, nullptr, 0, access, nullptr, &k_, nullptr);
  }
  void Close() { if (k_) RegCloseKey(std::exchange(k_, nullptr)); }
  HKEY Get() const { return k_; }

 private:
  HKEY k_ = nullptr;
};

}  // namespace com
