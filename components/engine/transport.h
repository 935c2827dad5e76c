// A byte stream to the receiver: the plain TCP connection, or the TLS channel on top of it.
// The line protocol above it is the same on both.
#pragma once
#include <windows.h>

#include <string>

namespace ovengine {

class Transport {
 public:
  virtual ~Transport() = default;
  // Sends every byte; fails when the peer takes nothing for timeout_ms.
  virtual HRESULT Send(const void* data, size_t size, DWORD timeout_ms) = 0;
  // Appends at least one received byte to input, waiting until the tick count deadline.
  virtual HRESULT Receive(std::string* input, DWORD deadline) = 0;
};

// Milliseconds left until a tick count deadline, 0 once it has passed.
inline DWORD Remaining(DWORD deadline) {
  const LONG left = static_cast<LONG>(deadline - GetTickCount());
  return left > 0 ? static_cast<DWORD>(left) : 0;
}

}  // namespace ovengine
