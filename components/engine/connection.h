// One connection to the receiver carrying the line protocol: over TLS, or in clear for a
// server the user named as plain. Every wait on it is bounded by a time-out and ends at
// once when another thread cancels the connection (Disconnect of a running engine).
#pragma once
#include <winsock2.h>
#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "protocol.h"
#include "socket_stream.h"
#include "tls_channel.h"

namespace ovengine {

struct ChannelSecurity {
  bool plain = false;        // OVT/1 in clear: only for a server the user named as plain
  std::wstring server_name;  // the name the server's certificate must be issued for
  // Shared by the connections of one engine (copies of this), so that its reconnects take the
  // first connection's verdict on the same certificate.
  std::shared_ptr<PassedCertificate> passed = std::make_shared<PassedCertificate>();
};

class Connection {
 public:
  Connection() = default;
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Connects within timeout_ms and, unless plain, sets up TLS within timeout_ms more, the
  // server's certificate checked before anything of the protocol goes out.
  HRESULT Open(const SOCKADDR_IN& server, DWORD timeout_ms, const ChannelSecurity& security);
  // Sends every byte; fails when the peer takes nothing for timeout_ms.
  HRESULT Send(const void* data, size_t size, DWORD timeout_ms);
  // One reply line within timeout_ms, without its end.
  HRESULT ReadLine(std::string* line, DWORD timeout_ms);
  // Sends one command line and reads its reply. An ERR reply is S_OK here (the caller
  // looks at it); a malformed reply, or ERR 400 (the server then closes), breaks the connection.
  HRESULT Exchange(const std::string& command, Reply* reply, DWORD timeout_ms);
  // Sends several command lines at once, to be answered in order by ReadReply: the server
  // takes commands one after another as they come, so a reconnect saves a round trip each.
  HRESULT SendCommands(const std::vector<std::string>& commands, DWORD timeout_ms);
  // The reply to the oldest command not yet answered, as Exchange reads it.
  HRESULT ReadReply(Reply* reply, DWORD timeout_ms);

  // From any thread: every wait, now and later, ends with E_ABORT.
  void Cancel() { socket_.Cancel(); }
  // True while nothing has failed on the connection: it can carry another command.
  bool Usable() const { return stream_ && !broken_ && !socket_.Cancelled(); }

 private:
  HRESULT Fail(HRESULT hr);

  SocketStream socket_;
  std::unique_ptr<TlsChannel> tls_;  // declared after the socket it writes to: it goes first
  Transport* stream_ = nullptr;      // the socket or the TLS channel once open
  bool broken_ = false;
  std::string input_;  // bytes received after the last line taken
};

}  // namespace ovengine
