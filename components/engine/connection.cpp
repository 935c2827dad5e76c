#include "connection.h"

#include <ws2tcpip.h>

namespace ovengine {
namespace {

HRESULT LastSocketError() { return HRESULT_FROM_WIN32(WSAGetLastError()); }

DWORD Remaining(DWORD deadline) {
  const LONG left = static_cast<LONG>(deadline - GetTickCount());
  return left > 0 ? static_cast<DWORD>(left) : 0;
}

}  // namespace

Connection::Connection()
    : network_event_(WSACreateEvent()), cancel_event_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}

Connection::~Connection() {
  if (socket_ != INVALID_SOCKET) closesocket(socket_);
  if (network_event_ != WSA_INVALID_EVENT) WSACloseEvent(network_event_);
  if (cancel_event_) CloseHandle(cancel_event_);
}

void Connection::Cancel() { SetEvent(cancel_event_); }

HRESULT Connection::Fail(HRESULT hr) {
  broken_ = true;
  return hr;
}

HRESULT Connection::Wait(DWORD deadline, WSANETWORKEVENTS* events) {
  const WSAEVENT handles[2] = {cancel_event_, network_event_};
  const DWORD rc = WSAWaitForMultipleEvents(2, handles, FALSE, Remaining(deadline), FALSE);
  if (rc == WSA_WAIT_EVENT_0) return Fail(E_ABORT);
  if (rc == WSA_WAIT_TIMEOUT) return Fail(HRESULT_FROM_WIN32(WSAETIMEDOUT));
  if (rc != WSA_WAIT_EVENT_0 + 1) return Fail(LastSocketError());
  if (WSAEnumNetworkEvents(socket_, network_event_, events) != 0) return Fail(LastSocketError());
  return S_OK;
}

HRESULT Connection::Open(const SOCKADDR_IN& server, DWORD timeout_ms) {
  if (socket_ != INVALID_SOCKET) return HRESULT_FROM_WIN32(WSAEISCONN);
  if (network_event_ == WSA_INVALID_EVENT || !cancel_event_) return E_OUTOFMEMORY;
  const DWORD deadline = GetTickCount() + timeout_ms;
  socket_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (socket_ == INVALID_SOCKET) return Fail(LastSocketError());
  // Commands are small and each waits for its reply: send them at once.
  const BOOL no_delay = TRUE;
  setsockopt(socket_, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&no_delay), sizeof(no_delay));
  // The event selection also makes the socket non-blocking, so that every wait can be cancelled.
  if (WSAEventSelect(socket_, network_event_, FD_CONNECT | FD_READ | FD_WRITE | FD_CLOSE) != 0)
    return Fail(LastSocketError());
  if (connect(socket_, reinterpret_cast<const sockaddr*>(&server), sizeof(server)) == 0) return S_OK;
  if (WSAGetLastError() != WSAEWOULDBLOCK) return Fail(LastSocketError());
  while (true) {
    WSANETWORKEVENTS events;
    if (HRESULT hr = Wait(deadline, &events); FAILED(hr)) return hr;
    if (events.lNetworkEvents & FD_CONNECT) {
      const int error = events.iErrorCode[FD_CONNECT_BIT];
      return error ? Fail(HRESULT_FROM_WIN32(error)) : S_OK;
    }
  }
}

HRESULT Connection::Send(const void* data, size_t size, DWORD timeout_ms) {
  if (!Usable()) return HRESULT_FROM_WIN32(WSAENOTCONN);
  const char* p = static_cast<const char*>(data);
  DWORD deadline = GetTickCount() + timeout_ms;
  while (size > 0) {
    if (WaitForSingleObject(cancel_event_, 0) == WAIT_OBJECT_0) return Fail(E_ABORT);
    const int piece = size > 0x40000000 ? 0x40000000 : static_cast<int>(size);
    const int sent = send(socket_, p, piece, 0);
    if (sent > 0) {
      p += sent;
      size -= static_cast<size_t>(sent);
      deadline = GetTickCount() + timeout_ms;
      continue;
    }
    if (WSAGetLastError() != WSAEWOULDBLOCK) return Fail(LastSocketError());
    WSANETWORKEVENTS events;
    if (HRESULT hr = Wait(deadline, &events); FAILED(hr)) return hr;
    if ((events.lNetworkEvents & FD_CLOSE) && events.iErrorCode[FD_CLOSE_BIT])
      return Fail(HRESULT_FROM_WIN32(events.iErrorCode[FD_CLOSE_BIT]));
  }
  return S_OK;
}

HRESULT Connection::ReadLine(std::string* line, DWORD timeout_ms) {
  if (!Usable()) return HRESULT_FROM_WIN32(WSAENOTCONN);
  const DWORD deadline = GetTickCount() + timeout_ms;
  while (true) {
    const size_t end = input_.find('\n');
    if (end != std::string::npos) {
      if (end + 1 > kMaxLineBytes) return Fail(kBadReply);
      line->assign(input_, 0, end);
      input_.erase(0, end + 1);
      if (!line->empty() && line->back() == '\r') line->pop_back();
      return S_OK;
    }
    if (input_.size() >= kMaxLineBytes) return Fail(kBadReply);
    if (WaitForSingleObject(cancel_event_, 0) == WAIT_OBJECT_0) return Fail(E_ABORT);
    char buffer[4096];
    const int got = recv(socket_, buffer, sizeof(buffer), 0);
    if (got > 0) {
      input_.append(buffer, static_cast<size_t>(got));
      continue;
    }
    if (got == 0) return Fail(HRESULT_FROM_WIN32(WSAECONNRESET));  // the server closed
    if (WSAGetLastError() != WSAEWOULDBLOCK) return Fail(LastSocketError());
    WSANETWORKEVENTS events;
    if (HRESULT hr = Wait(deadline, &events); FAILED(hr)) return hr;
  }
}

HRESULT Connection::Exchange(const std::string& command, Reply* reply, DWORD timeout_ms) {
  if (command.size() + 1 > kMaxLineBytes) return E_INVALIDARG;
  const std::string line = command + "\n";
  if (HRESULT hr = Send(line.data(), line.size(), timeout_ms); FAILED(hr)) return hr;
  std::string text;
  if (HRESULT hr = ReadLine(&text, timeout_ms); FAILED(hr)) return hr;
  if (!ParseReply(text, reply)) return Fail(kBadReply);
  if (!reply->ok && reply->code == 400) broken_ = true;
  return S_OK;
}

}  // namespace ovengine
