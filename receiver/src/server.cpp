#include "server.h"

#include <algorithm>
#include <thread>
#include <vector>


namespace ovr {
namespace {

void Listen(asio::ip::tcp::acceptor& acceptor, const asio::ip::tcp::endpoint& at) {
  acceptor.open(at.protocol());
  acceptor.set_option(asio::socket_base::reuse_address(true));
  acceptor.bind(at);
  acceptor.listen(asio::socket_base::max_listen_connections);
}

}  // namespace

Server::Server(const Users& users, Storage& storage, const std::string& bind,
               uint16_t upload_port, std::optional<uint16_t> http_port, const Limits& limits,
               TlsSettings tls)
    : limits_(limits),
      tls_(std::move(tls)),
      storage_(storage),
      guard_(limits_.login_delay_max),
      pending_(limits_.pending_per_address, limits_.pending_total),
      sessions_{users, storage, guard_, limits_, login_checks_},
      http_context_(storage, limits_),
      uploads_(io_),
      http_(io_),
      signals_(io_),
      sweep_(io_) {
  asio::ip::address address = asio::ip::make_address(bind);
  Listen(uploads_, {address, upload_port});
  upload_port_ = uploads_.local_endpoint().port();
  if (http_port) {
    Listen(http_, {address, *http_port});
    http_port_ = http_.local_endpoint().port();
  }
  AcceptUploads();
  if (http_port) AcceptHttp();
  SweepPartialsLater();
}

void Server::SweepPartialsLater() {
  // Often enough that nothing outlives its age by much more than a tenth of it.
  auto every = std::clamp<std::chrono::seconds>(limits_.partial_max_age / 10,
                                                std::chrono::seconds(1), std::chrono::hours(1));
  sweep_.expires_after(every);
  sweep_.async_wait([this](std::error_code ec) {
    if (ec) return;
    storage_.RemoveOldPartials();
    SweepPartialsLater();
  });
}

void Server::UseTls(const TlsSettings& tls) {
  std::lock_guard<std::mutex> lock(tls_mutex_);
  if (tls_.uploads && tls.uploads) tls_.uploads = tls.uploads;
  if (tls_.http && tls.http) tls_.http = tls.http;
}

TlsSettings Server::Tls() const {
  std::lock_guard<std::mutex> lock(tls_mutex_);
  return tls_;
}

void Server::AcceptUploads() {
  // Each connection gets a strand of its own: its handlers never run at the same time,
  // while different connections are served on all threads.
  uploads_.async_accept(asio::make_strand(io_), [this](std::error_code ec,
                                                       asio::ip::tcp::socket socket) {
    if (ec == asio::error::operation_aborted) return;
    if (!ec) {
      TcpStream stream(std::move(socket), Tls().uploads);
      std::string address = AddressKey(stream.peer());
      auto session = std::make_shared<Session>(std::move(stream), sessions_);
      session->Start(pending_.Admit(address, session));
    }
    AcceptLater(ec, &Server::AcceptUploads);
  });
}

void Server::AcceptHttp() {
  http_.async_accept(asio::make_strand(io_), [this](std::error_code ec,
                                                    asio::ip::tcp::socket socket) {
    if (ec == asio::error::operation_aborted) return;
    if (!ec) ServeHttp(TcpStream(std::move(socket), Tls().http), http_context_);
    AcceptLater(ec, &Server::AcceptHttp);
  });
}

void Server::AcceptLater(std::error_code ec, void (Server::*accept)()) {
  if (!ec) return (this->*accept)();
  // Out of descriptors, most likely: the waiting connection would fail again at once, so
  // pause instead of spinning until connections end.
  auto timer = std::make_shared<asio::steady_timer>(io_, std::chrono::milliseconds(100));
  timer->async_wait([this, timer, accept](std::error_code ec) {
    if (!ec) (this->*accept)();
  });
}

void Server::StopOnSignals() {
  signals_.add(SIGTERM);
  signals_.add(SIGINT);
  signals_.async_wait([this](std::error_code ec, int) {
    if (!ec) Stop();
  });
}

void Server::Stop() {
  asio::post(io_, [this] {
    std::error_code ec;
    uploads_.close(ec);
    http_.close(ec);
    signals_.cancel(ec);
    sweep_.cancel();
    io_.stop();
  });
}

void Server::Run(unsigned threads) {
  std::vector<std::thread> pool;
  for (unsigned i = 1; i < threads; ++i) pool.emplace_back([this] { io_.run(); });
  io_.run();
  for (auto& t : pool) t.join();
}

}  // namespace ovr
