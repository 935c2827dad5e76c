// TLS on the receiver's connections: the server context made once from the certificate chain
// and key, and a connection's stream, which is TLS over the socket or the socket itself when
// the receiver runs in clear. The stream offers what the connections use of a socket.
#pragma once

#include <asio.hpp>
#include <asio/ssl.hpp>
#include <memory>
#include <string>
#include <utility>

namespace ovr {

// TLS 1.2 and 1.3 with the PEM chain (the server's certificate first) and its key. Throws
// std::runtime_error naming the file and the reason when they are unusable.
std::shared_ptr<asio::ssl::context> MakeTlsContext(const std::string& chain_file, const std::string& key_file);

class Stream {
 public:
  using executor_type = asio::ip::tcp::socket::executor_type;

  // TLS with context tls, or in clear when it is null.
  Stream(asio::ip::tcp::socket socket, asio::ssl::context* tls);

  executor_type get_executor() { return plain_.get_executor(); }
  asio::ip::tcp::socket& lowest_layer() { return tls_ ? tls_->next_layer() : plain_; }

  // The TLS handshake as the server; at once (posted) in clear.
  template <class Handler>
  void async_handshake(Handler&& handler) {
    if (tls_)
      tls_->async_handshake(asio::ssl::stream_base::server, std::forward<Handler>(handler));
    else
      asio::post(get_executor(), [handler = std::forward<Handler>(handler)]() mutable { handler(std::error_code()); });
  }
  template <class Buffers, class Handler>
  void async_read_some(const Buffers& buffers, Handler&& handler) {
    if (tls_)
      tls_->async_read_some(buffers, std::forward<Handler>(handler));
    else
      plain_.async_read_some(buffers, std::forward<Handler>(handler));
  }
  template <class Buffers, class Handler>
  void async_write_some(const Buffers& buffers, Handler&& handler) {
    if (tls_)
      tls_->async_write_some(buffers, std::forward<Handler>(handler));
    else
      plain_.async_write_some(buffers, std::forward<Handler>(handler));
  }

  template <class Option>
  void set_option(const Option& option, std::error_code& ec) { lowest_layer().set_option(option, ec); }
  // Ends sending on the connection (under TLS the peer sees the end of the stream).
  void shutdown(asio::ip::tcp::socket::shutdown_type what, std::error_code& ec) { lowest_layer().shutdown(what, ec); }
  void close(std::error_code& ec) { lowest_layer().close(ec); }

 private:
  asio::ip::tcp::socket plain_;  // moved into tls_ under TLS; keeps the executor
  std::unique_ptr<asio::ssl::stream<asio::ip::tcp::socket>> tls_;
};

}  // namespace ovr
