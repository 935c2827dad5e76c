// One TCP connection. Every wait on it is bounded by a time-out and ends at once when another
// thread cancels it (Disconnect of a running engine).
#pragma once
#include <winsock2.h>
#include <windows.h>

#include <string>

#include "../../ovtransfer/com/unique.h"
#include "transport.h"

namespace ovengine {

class SocketStream final : public Transport {
 public:
  SocketStream();
  ~SocketStream() override;
  SocketStream(const SocketStream&) = delete;
  SocketStream& operator=(const SocketStream&) = delete;

  // Connects within timeout_ms.
  HRESULT Open(const SOCKADDR_IN& server, DWORD timeout_ms);
  HRESULT Send(const void* data, size_t size, DWORD timeout_ms) override;
  HRESULT Receive(std::string* input, DWORD deadline) override;
  // Sends what the socket takes at once and never waits: a last word as the connection goes.
  void SendWithoutWaiting(const void* data, size_t size);

  // From any thread: every wait, now and later, ends with E_ABORT.
  void Cancel() { SetEvent(cancel_event_.Get()); }
  bool Cancelled() const { return WaitForSingleObject(cancel_event_.Get(), 0) == WAIT_OBJECT_0; }
  bool Open() const { return socket_ != INVALID_SOCKET; }

 private:
  // Waits for a network event or the cancellation until the tick count deadline.
  HRESULT Wait(DWORD deadline, WSANETWORKEVENTS* events);

  SOCKET socket_ = INVALID_SOCKET;
  WSAEVENT network_event_;
  com::UniqueHandle cancel_event_;
};

}  // namespace ovengine
