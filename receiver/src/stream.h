// The byte stream of one connection. Sessions do all their reading, writing and closing
// through it: TLS over the socket, or the socket itself for a receiver run in clear; the
// protocol code is the same on both.
#pragma once

#include <netinet/in.h>
#include <netinet/tcp.h>

#include <asio.hpp>
#include <asio/ssl.hpp>
#include <array>
#include <memory>
#include <string>
#include <utility>

namespace ovr {

// TLS 1.2 and 1.3 with a PEM chain (the server's certificate first) and its key. Throws
// std::runtime_error naming the file and the reason when they are unusable.
std::shared_ptr<asio::ssl::context> MakeTlsContext(const std::string& chain_file, const std::string& key_file);

// Why the context's certificate would not be accepted today (it has expired, or is not yet
// valid), naming chain_file; empty when its dates hold. Clients judge this themselves: an
// operator is told, nothing is refused.
std::string CertificateDateWarning(asio::ssl::context& context, const std::string& chain_file);

// The TLS contexts of the two ports; a null one serves its port in clear.
struct TlsSettings {
  std::shared_ptr<asio::ssl::context> uploads, http;
};

class TcpStream {
 public:
  // TLS with the context tls, in clear when it is null. The stream keeps the context: a
  // certificate reloaded meanwhile serves new connections only.
  explicit TcpStream(asio::ip::tcp::socket socket, std::shared_ptr<asio::ssl::context> tls = nullptr)
      : socket_(std::move(socket)), context_(std::move(tls)) {
    std::error_code ec;
    peer_ = socket_.remote_endpoint(ec).address();
    if (context_) tls_ = std::make_unique<asio::ssl::stream<asio::ip::tcp::socket>>(std::move(socket_), *context_);
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
  // Reads what has come, up to the buffer's size; done(error_code, bytes). Bytes read before
  // an error are given first, without it; the next read meets the error again.
  template <typename Handler>
  void AsyncReadSome(asio::mutable_buffer buffer, Handler&& done) {
    if (tls_) return ReadRecords(buffer, 0, std::forward<Handler>(done));
    socket_.async_read_some(buffer, std::forward<Handler>(done));
  }
  template <typename Handler>
  void AsyncWrite(asio::const_buffer buffer, Handler&& done) {
    if (tls_) return asio::async_write(*tls_, buffer, std::forward<Handler>(done));
    asio::async_write(socket_, buffer, std::forward<Handler>(done));
  }
  // Ends the connection politely after the last reply: tells the peer (TLS close notify, or
  // the end of our direction in clear), then takes and drops what the peer still sends until
  // it ends too, so that no reset destroys the reply in flight. Calls done(error_code) then
  // (no error when the peer ended politely); the caller bounds the wait and closes.
  template <typename Handler>
  void AsyncEnd(Handler&& done) {
    if (!tls_) return EndSendingAndDrop(std::forward<Handler>(done));
    // Only our close notify goes out: the library would wait for the peer's and fail on data
    // already on its way, so what the peer still sends is dropped below the TLS layer.
    SSL* ssl = tls_->native_handle();
    SSL_set_shutdown(ssl, SSL_get_shutdown(ssl) | SSL_RECEIVED_SHUTDOWN);
    tls_->async_shutdown([this, done = std::forward<Handler>(done)](std::error_code ec) mutable {
      if (ec) return done(ec);
      EndSendingAndDrop(std::move(done));
    });
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
  // A TLS read gives one record (16 KiB) at most: records that are already here are taken
  // into the same buffer, so that a file's bytes reach storage in pieces as big as in clear
  // rather than one write (and one handler) per record.
  template <typename Handler>
  void ReadRecords(asio::mutable_buffer buffer, size_t got, Handler&& done) {
    tls_->async_read_some(buffer + got, [this, buffer, got, done = std::forward<Handler>(done)](
                                            std::error_code ec, size_t n) mutable {
      got += n;
      if (ec) return done(got > 0 ? std::error_code() : ec, got);
      if (buffer.size() - got >= kTlsRecord && RecordsWaiting()) return ReadRecords(buffer, got, std::move(done));
      done(ec, got);
    });
  }
  // Decrypted bytes not yet taken, or bytes of further records here or on the socket.
  bool RecordsWaiting() {
    SSL* ssl = tls_->native_handle();
    std::error_code ec;
    return SSL_has_pending(ssl) || BIO_ctrl_pending(SSL_get_rbio(ssl)) > 0 || socket().available(ec) > 0;
  }
  static constexpr size_t kTlsRecord = 16 * 1024;

  template <typename Handler>
  void EndSendingAndDrop(Handler&& done) {
    std::error_code ec;
    socket().shutdown(asio::ip::tcp::socket::shutdown_send, ec);
    DropUntilEnd(std::make_shared<std::array<char, 512>>(), std::forward<Handler>(done));
  }
  template <typename Handler>
  void DropUntilEnd(std::shared_ptr<std::array<char, 512>> scratch, Handler&& done) {
    asio::mutable_buffer into = asio::buffer(*scratch);
    socket().async_read_some(into, [this, scratch = std::move(scratch),
                                    done = std::forward<Handler>(done)](std::error_code ec, size_t) mutable {
      if (ec) return done(ec == asio::error::eof ? std::error_code() : ec);
      DropUntilEnd(std::move(scratch), std::move(done));
    });
  }

  asio::ip::tcp::socket socket_;  // moved into tls_ under TLS; keeps the executor
  std::shared_ptr<asio::ssl::context> context_;  // outlives tls_, which uses it
  std::unique_ptr<asio::ssl::stream<asio::ip::tcp::socket>> tls_;
  asio::ip::address peer_;
};

// The text by which limits group clients: the IPv4 address, or the /64 network of an IPv6
// address (one subscriber gets a whole /64).
std::string AddressKey(const asio::ip::address& address);

}  // namespace ovr
