// An engine's optional interface: the server's name as the page gave it (a host name or a
// dotted address), so that the engine can check the server's certificate against it. The
// control asks a new engine for it right after creating it; an engine without it is driven
// exactly as before.
#pragma once
#include <windows.h>
#include <unknwn.h>

inline constexpr IID IID_ITransferEngineServer = {
    0xE607A79F, 0x8BAE, 0x436F, {0xA1, 0x98, 0xF4, 0x47, 0xC8, 0x6A, 0xB8, 0x66}};

struct ITransferEngineServer : IUnknown {
  // Before Connect. E_INVALIDARG for an empty or unusable name; the engine then connects to
  // no server until a good name is given.
  virtual HRESULT STDMETHODCALLTYPE SetServerName(LPCWSTR name) = 0;
};
