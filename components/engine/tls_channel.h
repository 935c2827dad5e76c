// TLS on a connection through the platform's own TLS (Schannel), so that trusted roots,
// revocation and policy are the machine's. The channel is usable only once the server's
// certificate chain and name have passed the check; nothing of the upload protocol is sent
// before that.
#pragma once
#include <winsock2.h>
#include <windows.h>
#define SECURITY_WIN32
#include <security.h>
#include <schannel.h>

#include <memory>
#include <string>

#include "server_certificate.h"
#include "socket_stream.h"

namespace ovengine {

class TlsChannel final : public Transport {
 public:
  explicit TlsChannel(SocketStream& socket) : socket_(socket) {}
  // Tells the server the channel ends (close notify) when the connection is still whole.
  ~TlsChannel() override;
  TlsChannel(const TlsChannel&) = delete;
  TlsChannel& operator=(const TlsChannel&) = delete;

  // The handshake and the certificate check for server_name, within timeout_ms; passed
  // keeps the verdict for the engine's next connections.
  HRESULT Handshake(const std::wstring& server_name, std::shared_ptr<PassedCertificate> passed, DWORD timeout_ms);
  // Sends every byte as TLS records; fails when the peer takes nothing for timeout_ms.
  HRESULT Send(const void* data, size_t size, DWORD timeout_ms) override;
  // Appends at least one byte of application data. The server's close notify ends the
  // stream as a closed connection does.
  HRESULT Receive(std::string* input, DWORD deadline) override;

 private:
  // Runs the handshake's messages until the context is complete: the first one, or one the
  // server asks for later (a renegotiation, or post-handshake messages of TLS 1.3).
  HRESULT Negotiate(DWORD deadline, bool started_by_server);
  HRESULT ReadMore(DWORD deadline);
  HRESULT Fail(HRESULT hr);

  SocketStream& socket_;
  std::wstring server_name_;
  std::shared_ptr<PassedCertificate> passed_;
  CredHandle credentials_ = {};
  CtxtHandle context_ = {};
  bool have_credentials_ = false, have_context_ = false;
  bool ready_ = false;   // handshake done and the certificate accepted
  bool failed_ = false;  // the channel is of no further use
  SecPkgContext_StreamSizes sizes_ = {};
  std::string incoming_;     // received records not yet decrypted
  bool need_more_ = false;   // incoming_ holds only part of a record
  std::string outgoing_;     // records being sent
};

}  // namespace ovengine
