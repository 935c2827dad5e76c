// The listeners, the limits they share, and the threads that serve them.
#pragma once

#include <asio.hpp>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

#include "config.h"
#include "gate.h"
#include "http_endpoint.h"
#include "login_guard.h"
#include "session.h"
#include "storage.h"
#include "users.h"

namespace ovr {

class Server {
 public:
  // Binds the upload port and, when http_port is set, the HTTP port (0 picks a free port).
  // Throws std::system_error when an address cannot be bound.
  Server(const Users& users, Storage& storage, const std::string& bind, uint16_t upload_port,
         std::optional<uint16_t> http_port, const Limits& limits = {}, TlsSettings tls = {});

  uint16_t upload_port() const { return upload_port_; }
  uint16_t http_port() const { return http_port_; }  // 0 when the endpoint is off
  // Connections not yet logged in.
  size_t pending() const { return pending_.size(); }

  // Serves on this thread and threads - 1 more until Stop (or SIGTERM/SIGINT when
  // stop_on_signals was asked for). Open connections are closed when the Server goes.
  void Run(unsigned threads);
  void StopOnSignals();
  void Stop();
  // New connections get these contexts from now on; open ones keep theirs. A port served in
  // clear stays in clear.
  void UseTls(const TlsSettings& tls);
  // For listeners and signals of other parts that run on the same threads.
  asio::io_context& io() { return io_; }

 private:
  void AcceptUploads();
  void AcceptHttp();
  void AcceptLater(std::error_code ec, void (Server::*accept)());
  void SweepPartialsLater();
  TlsSettings Tls() const;

  const Limits limits_;
  mutable std::mutex tls_mutex_;  // accepts read tls_ on any thread while a reload swaps it
  TlsSettings tls_;
  Storage& storage_;
  LoginGuard guard_;
  Gate pending_;
  SessionContext sessions_;
  HttpContext http_context_;
  asio::io_context io_;
  // Password checks, slow on purpose, run here rather than on the threads serving
  // connections. Declared after io_: it is joined before io_ goes, so a finished check
  // always has somewhere to post its answer.
  asio::thread_pool login_checks_{2};
  asio::ip::tcp::acceptor uploads_;
  asio::ip::tcp::acceptor http_;
  asio::signal_set signals_;
  asio::steady_timer sweep_;
  uint16_t upload_port_ = 0, http_port_ = 0;
};

}  // namespace ovr
