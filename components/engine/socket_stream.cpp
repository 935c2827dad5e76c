#include "socket_stream.h"

#include <ws2tcpip.h>

namespace ovengine {
namespace {

HRESULT LastSocketError() { return HRESULT_FROM_WIN32(WSAGetLastError()); }

constexpr size_t kReceiveBytes = 16 * 1024;  // one TLS record at most

}  // namespace

SocketStream::SocketStream()
    : network_event_(WSACreateEvent()), cancel_event_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}

SocketStream::~SocketStream() {
  if (socket_ != INVALID_SOCKET) closesocket(socket_);
  if (network_event_ != WSA_INVALID_EVENT) WSACloseEvent(network_event_);
}

HRESULT SocketStream::Wait(DWORD deadline, WSANETWORKEVENTS* events) {
  const WSAEVENT handles[2] = {cancel_event_.Get(), network_event_};
  const DWORD rc = WSAWaitForMultipleEvents(2, handles, FALSE, Remaining(deadline), FALSE);
  if (rc == WSA_WAIT_EVENT_0) return E_ABORT;
  if (rc == WSA_WAIT_TIMEOUT) return HRESULT_FROM_WIN32(WSAETIMEDOUT);
  if (rc != WSA_WAIT_EVENT_0 + 1) return LastSocketError();
  if (WSAEnumNetworkEvents(socket_, network_event_, events) != 0) return LastSocketError();
  return S_OK;
}

HRESULT SocketStream::Open(const SOCKADDR_IN& server, DWORD timeout_ms) {
  if (socket_ != INVALID_SOCKET) return HRESULT_FROM_WIN32(WSAEISCONN);
  if (network_event_ == WSA_INVALID_EVENT || !cancel_event_) return E_OUTOFMEMORY;
  const DWORD deadline = GetTickCount() + timeout_ms;
  socket_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (socket_ == INVALID_SOCKET) return LastSocketError();
  // Commands are small and each waits for its reply: send them at once.
  const BOOL no_delay = TRUE;
  setsockopt(socket_, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&no_delay), sizeof(no_delay));
  // The event selection also makes the socket non-blocking, so that every wait can be cancelled.
  if (WSAEventSelect(socket_, network_event_, FD_CONNECT | FD_READ | FD_WRITE | FD_CLOSE) != 0)
    return LastSocketError();
  if (connect(socket_, reinterpret_cast<const sockaddr*>(&server), sizeof(server)) == 0) return S_OK;
  if (WSAGetLastError() != WSAEWOULDBLOCK) return LastSocketError();
  while (true) {
    WSANETWORKEVENTS events;
    if (HRESULT hr = Wait(deadline, &events); FAILED(hr)) return hr;
    if (events.lNetworkEvents & FD_CONNECT) {
      const int error = events.iErrorCode[FD_CONNECT_BIT];
      return error ? HRESULT_FROM_WIN32(error) : S_OK;
    }
  }
}

HRESULT SocketStream::Send(const void* data, size_t size, DWORD timeout_ms) {
  if (socket_ == INVALID_SOCKET) return HRESULT_FROM_WIN32(WSAENOTCONN);
  const char* p = static_cast<const char*>(data);
  DWORD deadline = GetTickCount() + timeout_ms;
  while (size > 0) {
    if (Cancelled()) return E_ABORT;
    const int piece = size > 0x40000000 ? 0x40000000 : static_cast<int>(size);
    const int sent = send(socket_, p, piece, 0);
    if (sent > 0) {
      p += sent;
      size -= static_cast<size_t>(sent);
      deadline = GetTickCount() + timeout_ms;
      continue;
    }
    if (WSAGetLastError() != WSAEWOULDBLOCK) return LastSocketError();
    WSANETWORKEVENTS events;
    if (HRESULT hr = Wait(deadline, &events); FAILED(hr)) return hr;
    if ((events.lNetworkEvents & FD_CLOSE) && events.iErrorCode[FD_CLOSE_BIT])
      return HRESULT_FROM_WIN32(events.iErrorCode[FD_CLOSE_BIT]);
  }
  return S_OK;
}

void SocketStream::SendWithoutWaiting(const void* data, size_t size) {
  if (socket_ != INVALID_SOCKET && !Cancelled() && size < 0x40000000)
    send(socket_, static_cast<const char*>(data), static_cast<int>(size), 0);
}

HRESULT SocketStream::Receive(std::string* input, DWORD deadline) {
  if (socket_ == INVALID_SOCKET) return HRESULT_FROM_WIN32(WSAENOTCONN);
  while (true) {
    if (Cancelled()) return E_ABORT;
    char buffer[kReceiveBytes];
    const int got = recv(socket_, buffer, sizeof(buffer), 0);
    if (got > 0) {
      input->append(buffer, static_cast<size_t>(got));
      return S_OK;
    }
    if (got == 0) return HRESULT_FROM_WIN32(WSAECONNRESET);  // the server closed
    if (WSAGetLastError() != WSAEWOULDBLOCK) return LastSocketError();
    WSANETWORKEVENTS events;
    if (HRESULT hr = Wait(deadline, &events); FAILED(hr)) return hr;
  }
}

}  // namespace ovengine
