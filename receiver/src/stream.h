// The byte stream of one connection. Sessions do all their reading, writing and closing
// through it: TLS over the socket, or the socket itself for a receiver run in clear; the
// protocol code is the same on both.
#pragma once

#include <netinet/in.h>
#include <netinet/tcp.h>

#include <asio.hpp>
#include <asio/ssl.hpp>
#include <memory>
#include <string>
#include <utility>

namespace ovr {

// TLS 1.2 and 1.3 with a PEM chain (the server's certificate first) and its key. Throws
// std::runtime_error naming the file and the reason when they are unusable.
std::shared_ptr<asio::ssl::context> MakeTlsContext(const std::string& chain_file, const std::string& key_file);

// The TLS contexts of the two ports; a null one serves its port in clear.
struct TlsSettings {
  std::shared_ptr<asio::ssl::context> uploads, http;
};

class TcpStream {
 public:
  // TLS with the context tls, in clear when it is null.
  explicit TcpStream(asio::ip::tcp::socket socket, asio::ssl::context* tls = nullptr) : socket_(std::move(socket)) {
    std::error_code ec;
    peer_ = socket_.remote_endpoint(ec).address();
    if (tls) tls_ = std::make_unique<asio::ssl::stream<asio::ip::tcp::socket>>(std::move(socket_), *tls);
  }

  using executor_type = asio::ip::tcp::socket::executor_type;
  executor_type get_executor() { return socket_.get_executor(); }
  const asio::ip::address& peer() const { return peer_; }
  asio::ip::tcp::socket& socket() { return tls_ ? tls_->next_layer() : socket_; }

  // Readies the connection for the protocol (a transport with a handshake does it here, so
  // that it counts against the caller's deadline); calls done(error_code).
  template <typename Handler>
  void AsyncStart(Handler&& done) {
    std::error_code ec;
    socket().set_option(asio::ip::tcp::no_delay(true), ec);
    // A peer that vanished (cable, power) is found even when nobody takes its file over.
    socket().set_option(asio::socket_base::keep_alive(true), ec);
    int fd = socket().native_handle();
    int idle = 60, interval = 10, count = 6;
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
    // The TLS handshake runs within the caller's deadline.
    if (tls_) return tls_->async_handshake(asio::ssl::stream_base::server, std::forward<Handler>(done));
    asio::post(socket_.get_executor(), [done = std::forward<Handler>(done)]() mutable {
      done(std::error_code());
    });
  }
  template <typename Handler>
  void AsyncReadSome(asio::mutable_buffer buffer, Handler&& done) {
    if (tls_) return tls_->async_read_some(buffer, std::forward<Handler>(done));
    socket_.async_read_some(buffer, std::forward<Handler>(done));
  }
  template <typename Handler>
  void AsyncWrite(asio::const_buffer buffer, Handler&& done) {
    if (tls_) return asio::async_write(*tls_, buffer, std::forward<Handler>(done));
    asio::async_write(socket_, buffer, std::forward<Handler>(done));
  }
  // Ends our direction politely; reading goes on until the peer ends its own. (Under TLS the
  // peer sees the end of the connection; a close notify would need its answer.)
  void ShutdownSend() {
    std::error_code ec;
    socket().shutdown(asio::ip::tcp::socket::shutdown_send, ec);
  }
  // Ends pending operations with operation_aborted; the connection stays usable.
  void Cancel() {
    std::error_code ec;
    socket().cancel(ec);
  }
  // Closes at once; pending operations end with operation_aborted.
  void Close() {
    std::error_code ec;
    socket().close(ec);
  }

 private:
  asio::ip::tcp::socket socket_;  // moved into tls_ under TLS; keeps the executor
  std::unique_ptr<asio::ssl::stream<asio::ip::tcp::socket>> tls_;
  asio::ip::address peer_;
};

// The text by which limits group clients: the IPv4 address, or the /64 network of an IPv6
// address (one subscriber gets a whole /64).
std::string AddressKey(const asio::ip::address& address);

}  // namespace ovr
