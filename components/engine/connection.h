// One TCP connection to the receiver. Every wait on it is bounded by a time-out and ends at
// once when another thread cancels the connection (Disconnect of a running engine).
#pragma once
#include <winsock2.h>
#include <windows.h>

#include <string>

#include "protocol.h"

namespace ovengine {

class Connection {
 public:
  Connection();
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Connects within timeout_ms.
  HRESULT Open(const SOCKADDR_IN& server, DWORD timeout_ms);
  // Sends every byte; fails when the peer takes nothing for timeout_ms.
  HRESULT Send(const void* data, size_t size, DWORD timeout_ms);
  // One reply line within timeout_ms, without its end.
  HRESULT ReadLine(std::string* line, DWORD timeout_ms);
  // Sends one command line and reads its reply. An ERR reply is S_OK here (the caller
  // looks at it); a malformed reply, or ERR 400 (the server then closes), breaks the connection.
  HRESULT Exchange(const std::string& command, Reply* reply, DWORD timeout_ms);

  // From any thread: every wait, now and later, ends with E_ABORT.
  void Cancel();
  // True while nothing has failed on the connection: it can carry another command.
  bool Usable() const {
    return socket_ != INVALID_SOCKET && !broken_ && WaitForSingleObject(cancel_event_, 0) != WAIT_OBJECT_0;
  }

 private:
  // Waits for a network event or the cancellation until the tick count deadline.
  HRESULT Wait(DWORD deadline, WSANETWORKEVENTS* events);
  HRESULT Fail(HRESULT hr);

  SOCKET socket_ = INVALID_SOCKET;
  WSAEVENT network_event_;
  HANDLE cancel_event_;
  bool broken_ = false;
  std::string input_;  // bytes received after the last line taken
};

}  // namespace ovengine
