#include "connection.h"

namespace ovengine {

HRESULT Connection::Fail(HRESULT hr) {
  broken_ = true;
  return hr;
}

HRESULT Connection::Open(const SOCKADDR_IN& server, DWORD timeout_ms, const ChannelSecurity& security) {
  if (stream_ || broken_) return HRESULT_FROM_WIN32(WSAEISCONN);
  if (HRESULT hr = socket_.Open(server, timeout_ms); FAILED(hr)) return Fail(hr);
  if (security.plain) {
    stream_ = &socket_;
    return S_OK;
  }
  auto tls = std::make_unique<TlsChannel>(socket_);
  if (HRESULT hr = tls->Handshake(security.server_name, security.passed, timeout_ms); FAILED(hr)) return Fail(hr);
  tls_ = std::move(tls);
  stream_ = tls_.get();
  return S_OK;
}

HRESULT Connection::Send(const void* data, size_t size, DWORD timeout_ms) {
  if (!Usable()) return HRESULT_FROM_WIN32(WSAENOTCONN);
  if (HRESULT hr = stream_->Send(data, size, timeout_ms); FAILED(hr)) return Fail(hr);
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
    if (HRESULT hr = stream_->Receive(&input_, deadline); FAILED(hr)) return Fail(hr);
  }
}

HRESULT Connection::Exchange(const std::string& command, Reply* reply, DWORD timeout_ms) {
  if (HRESULT hr = SendCommands({command}, timeout_ms); FAILED(hr)) return hr;
  return ReadReply(reply, timeout_ms);
}

HRESULT Connection::SendCommands(const std::vector<std::string>& commands, DWORD timeout_ms) {
  std::string lines;
  for (const std::string& command : commands) {
    if (command.size() + 1 > kMaxLineBytes) return E_INVALIDARG;
    lines += command + "\n";
  }
  return Send(lines.data(), lines.size(), timeout_ms);
}

HRESULT Connection::ReadReply(Reply* reply, DWORD timeout_ms) {
  std::string text;
  if (HRESULT hr = ReadLine(&text, timeout_ms); FAILED(hr)) return hr;
  if (!ParseReply(text, reply)) return Fail(kBadReply);
  if (!reply->ok && reply->code == 400) broken_ = true;
  return S_OK;
}

}  // namespace ovengine
