// The byte stream of one connection. Sessions do all their reading, writing and closing
// through it, so that another transport (TLS over the same socket) can stand in for the
// plain socket without the protocol code changing.
#pragma once

#include <netinet/in.h>
#include <netinet/tcp.h>

#include <asio.hpp>
#include <string>
#include <utility>

namespace ovr {

class TcpStream {
 public:
  explicit TcpStream(asio::ip::tcp::socket socket) : socket_(std::move(socket)) {
    std::error_code ec;
    peer_ = socket_.remote_endpoint(ec).address();
  }

  using executor_type = asio::ip::tcp::socket::executor_type;
  executor_type get_executor() { return socket_.get_executor(); }
  const asio::ip::address& peer() const { return peer_; }
  asio::ip::tcp::socket& socket() { return socket_; }

  // Readies the connection for the protocol (a transport with a handshake does it here, so
  // that it counts against the caller's deadline); calls done(error_code).
  template <typename Handler>
  void AsyncStart(Handler&& done) {
    std::error_code ec;
    socket_.set_option(asio::ip::tcp::no_delay(true), ec);
    // A peer that vanished (cable, power) is found even when nobody takes its file over.
    socket_.set_option(asio::socket_base::keep_alive(true), ec);
    int fd = socket_.native_handle();
    int idle = 60, interval = 10, count = 6;
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
    asio::post(socket_.get_executor(), [done = std::forward<Handler>(done)]() mutable {
      done(std::error_code());
    });
  }
  template <typename Handler>
  void AsyncReadSome(asio::mutable_buffer buffer, Handler&& done) {
    socket_.async_read_some(buffer, std::forward<Handler>(done));
  }
  template <typename Handler>
  void AsyncWrite(asio::const_buffer buffer, Handler&& done) {
    asio::async_write(socket_, buffer, std::forward<Handler>(done));
  }
  // Ends our direction politely; reading goes on until the peer ends its own.
  void ShutdownSend() {
    std::error_code ec;
    socket_.shutdown(asio::ip::tcp::socket::shutdown_send, ec);
  }
  // Ends pending operations with operation_aborted; the connection stays usable.
  void Cancel() {
    std::error_code ec;
    socket_.cancel(ec);
  }
  // Closes at once; pending operations end with operation_aborted.
  void Close() {
    std::error_code ec;
    socket_.close(ec);
  }

 private:
  asio::ip::tcp::socket socket_;
  asio::ip::address peer_;
};

// The text by which limits group clients: the IPv4 address, or the /64 network of an IPv6
// address (one subscriber gets a whole /64).
std::string AddressKey(const asio::ip::address& address);

}  // namespace ovr
