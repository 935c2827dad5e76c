// The status made from a system error: 0x80070000 with its low 16 bits; error 0 gives 0.
#pragma once
#include <windows.h>

namespace com {

inline HRESULT StatusFromError(DWORD error) {
  return error == 0 ? S_OK : static_cast<HRESULT>(0x80070000u | (error & 0xFFFFu));
}
inline HRESULT LastErrorStatus() { return StatusFromError(GetLastError()); }
// The same for a call known to have failed: E_FAIL when it set no error, so that the failure
// can never read as success.
inline HRESULT LastFailure() {
  const HRESULT status = LastErrorStatus();
  return status == S_OK ? E_FAIL : status;
}

}  // namespace com
