// One owner for every kind of system handle: the handle is given back exactly once, when its
// owner is reset, reassigned or destroyed, unless it was released to someone else first.
#pragma once
#include <windows.h>
#include <oleauto.h>

#include <cstdint>
#include <type_traits>
#include <utility>

namespace com {

// T is the handle type, Close the function that gives it back, Invalid the value that owns
// nothing (as an integer, since INVALID_HANDLE_VALUE cannot be a template argument), and
// AlsoInvalid a second such value where the system has two (kernel handles: null from most
// calls, INVALID_HANDLE_VALUE from CreateFile). A value type such as VARIANT owns nothing when
// zeroed, and its Close must accept that empty value.
template <class T, auto Close, std::intptr_t Invalid = 0, std::intptr_t AlsoInvalid = Invalid>
class Unique {
 public:
  Unique() = default;
  explicit Unique(T value) : value_(value) {}
  Unique(Unique&& o) noexcept : value_(o.Release()) {}
  Unique& operator=(Unique&& o) noexcept {
    if (this != &o) Reset(o.Release());
    return *this;
  }
  Unique(const Unique&) = delete;
  Unique& operator=(const Unique&) = delete;
  ~Unique() { Reset(); }

  // Gives back what is held and takes value in its place.
  void Reset(T value = Empty()) {
    T old = std::exchange(value_, value);
    if (Owns(old)) Close(old);
  }
  // For an out parameter: what was held is given back first, so nothing leaks on a retry.
  T* Receive() {
    Reset();
    return &value_;
  }
  // For an in/out parameter, which gives back what it replaces itself (a VARIANT's callee does).
  T* Address() { return &value_; }
  // Hands the handle to a caller that gives it back itself.
  T Release() { return std::exchange(value_, Empty()); }

  const T& Get() const { return value_; }
  bool Valid() const { return Owns(value_); }
  explicit operator bool() const { return Valid(); }

  static T Empty() {
    if constexpr (std::is_pointer_v<T>)
      return reinterpret_cast<T>(Invalid);
    else if constexpr (std::is_integral_v<T>)
      return static_cast<T>(Invalid);
    else
      return T{};
  }

 private:
  static bool Owns(const T& value) {
    if constexpr (std::is_pointer_v<T>)
      return value != Empty() && value != reinterpret_cast<T>(AlsoInvalid);
    else if constexpr (std::is_scalar_v<T>)
      return value != Empty() && value != static_cast<T>(AlsoInvalid);
    else
      return true;
  }

  T value_ = Empty();
};

inline void ClearVariant(VARIANT& v) { VariantClear(&v); }
inline void DeleteGdiObject(HGDIOBJ object) { DeleteObject(object); }

// Kernel handles own nothing when null or INVALID_HANDLE_VALUE; the two differ only in what an
// empty owner holds: null for events, threads, processes and jobs, INVALID_HANDLE_VALUE for
// files and process snapshots.
using UniqueHandle = Unique<HANDLE, CloseHandle, 0, -1>;
using UniqueFile = Unique<HANDLE, CloseHandle, -1, 0>;
using UniqueFind = Unique<HANDLE, FindClose, -1>;
using UniqueHKey = Unique<HKEY, RegCloseKey>;
using UniqueMenu = Unique<HMENU, DestroyMenu>;
template <class G>
using UniqueGdi = Unique<G, DeleteGdiObject>;
template <class P>
using UniqueCoTaskMem = Unique<P*, CoTaskMemFree>;
using UniqueVariant = Unique<VARIANT, ClearVariant>;

// Hands what from holds to an in/out VARIANT, giving back what that held before.
inline void MoveInto(UniqueVariant& from, VARIANT* to) {
  UniqueVariant previous(*to);
  *to = from.Release();
}

}  // namespace com
