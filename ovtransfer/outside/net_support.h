// The outside network support component: the control creates it once per window and
// calls Startup(0x0202); it initialises the socket library that host look-ups use.
#pragma once
#include <windows.h>
#include <unknwn.h>

inline constexpr IID IID_INetSupport = {0x25AAF9C4, 0xF8D6, 0x4F37, {0xBD, 0x6D, 0x30, 0xA6, 0xB0, 0x14, 0xB0, 0x79}};

struct INetSupport : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE Startup(DWORD version) = 0;
};
