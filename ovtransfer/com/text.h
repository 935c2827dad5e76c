// Small text helpers shared by the control, its components and its tools.
#pragma once
#include <windows.h>
#include <oleauto.h>

#include <string>
#include <string_view>

namespace com {

// The text of a BSTR, which may hold nulls; a null BSTR reads as empty.
inline std::wstring BstrText(BSTR b) { return b ? std::wstring(b, SysStringLen(b)) : std::wstring(); }

// Equal but for case, letter by letter as the file system compares names (no locale).
inline bool SameText(std::wstring_view a, std::wstring_view b) {
  return CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(), static_cast<int>(b.size()), TRUE) ==
         CSTR_EQUAL;
}

// A status as people quote it: "0x8007000E".
inline std::wstring StatusText(HRESULT status) {
  std::wstring text = L"0x00000000";
  for (unsigned long bits = static_cast<unsigned long>(status), at = 9; bits; bits >>= 4, --at)
    text[at] = L"0123456789ABCDEF"[bits & 0xF];
  return text;
}

}  // namespace com
