#include "metrics.h"

#include <sys/stat.h>

#include <memory>
#include <sstream>

namespace ovr {
namespace {

namespace fs = std::filesystem;

constexpr size_t kMaxRequest = 8 * 1024;
constexpr auto kRequestTimeout = std::chrono::seconds(10);

uint64_t HeldBytes(const fs::path& dir) {
  uint64_t total = 0;
  std::error_code ec;
  for (const auto& entry : fs::recursive_directory_iterator(dir, ec)) {
    struct stat st;
    if (::lstat(entry.path().c_str(), &st) == 0 && S_ISREG(st.st_mode))
      total += static_cast<uint64_t>(st.st_size);
  }
  return total;
}

class Page {
 public:
  void Metric(const char* name, const char* type, const char* help) {
    out_ << "# HELP ovreceiver_" << name << ' ' << help << "\n# TYPE ovreceiver_" << name << ' '
         << type << '\n';
  }
  template <typename T>
  void Value(const char* name, T value, const char* labels = nullptr) {
    out_ << "ovreceiver_" << name;
    if (labels) out_ << '{' << labels << '}';
    out_ << ' ' << value << '\n';
  }
  std::string text() const { return out_.str(); }

 private:
  std::ostringstream out_;
};

// One request, one reply, then the connection closes.
class MetricsConnection : public std::enable_shared_from_this<MetricsConnection> {
 public:
  MetricsConnection(asio::ip::tcp::socket socket, const fs::path& partial_dir)
      : socket_(std::move(socket)), timer_(socket_.get_executor()), partial_dir_(partial_dir),
        request_(kMaxRequest) {}

  void Start() {
    timer_.expires_after(kRequestTimeout);
    timer_.async_wait([self = shared_from_this()](std::error_code ec) {
      if (!ec) self->socket_.close(ec);
    });
    asio::async_read_until(socket_, request_, "\r\n\r\n",
                           [self = shared_from_this()](std::error_code ec, size_t n) {
                             self->OnRequest(ec, n);
                           });
  }

 private:
  void OnRequest(std::error_code ec, size_t n) {
    if (ec && ec != asio::error::not_found) return;
    std::string head(asio::buffers_begin(request_.data()),
                     asio::buffers_begin(request_.data()) + (ec ? 0 : n));
    std::string line = head.substr(0, head.find("\r\n"));
    std::string status = "200 OK", body;
    if (ec) {
      status = "431 Request Header Fields Too Large";
    } else if (line.rfind("GET ", 0) != 0 && line.rfind("HEAD ", 0) != 0) {
      status = "405 Method Not Allowed";
    } else {
      std::string target = line.substr(line.find(' ') + 1);
      target = target.substr(0, target.find(' '));
      if (target.substr(0, target.find('?')) == "/metrics")
        body = RenderMetrics(metrics(), partial_dir_);
      else
        status = "404 Not Found";
    }
    reply_ = "HTTP/1.1 " + status + "\r\nContent-Type: text/plain; version=0.0.4; charset=utf-8\r\n" +
             "Content-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n";
    if (line.rfind("HEAD ", 0) != 0) reply_ += body;
    asio::async_write(socket_, asio::buffer(reply_),
                      [self = shared_from_this()](std::error_code, size_t) {
                        std::error_code ignored;
                        self->socket_.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
                        self->timer_.cancel();
                      });
  }

  asio::ip::tcp::socket socket_;
  asio::steady_timer timer_;
  const fs::path partial_dir_;
  asio::streambuf request_;
  std::string reply_;
};

}  // namespace

Metrics& metrics() {
  static Metrics m;
  return m;
}

std::string RenderMetrics(const Metrics& m, const fs::path& partial_dir) {
  Page p;
  p.Metric("connections", "gauge", "Upload connections open, by protocol state.");
  for (size_t i = 0; i < kConnectionStates.size(); ++i)
    p.Value("connections", m.connections[i].load(),
            ("state=\"" + std::string(kConnectionStates[i]) + '"').c_str());
  p.Metric("logins_total", "counter", "Logins checked, by result.");
  p.Value("logins_total", m.logins_ok.load(), "result=\"ok\"");
  p.Value("logins_total", m.logins_failed.load(), "result=\"failed\"");
  p.Metric("uploads_total", "counter",
           "Files ended with END: completed, or failed (wrong size or checksum, write error).");
  p.Value("uploads_total", m.uploads_completed.load(), "result=\"completed\"");
  p.Value("uploads_total", m.uploads_failed.load(), "result=\"failed\"");
  p.Metric("uploads_resumed_total", "counter", "Uploads continued past byte 0 after a break.");
  p.Value("uploads_resumed_total", m.uploads_resumed.load());
  p.Metric("received_bytes_total", "counter", "File bytes received on upload connections.");
  p.Value("received_bytes_total", m.bytes_received.load());
  p.Metric("partial_bytes", "gauge", "Bytes of unfinished uploads held for resuming.");
  p.Value("partial_bytes", HeldBytes(partial_dir));
  p.Metric("limit_hits_total", "counter", "Times a limit turned something away, by limit.");
  for (size_t i = 0; i < kLimitNames.size(); ++i)
    p.Value("limit_hits_total", m.limit_hits[i].load(),
            ("limit=\"" + std::string(kLimitNames[i]) + '"').c_str());
  return p.text();
}

MetricsEndpoint::MetricsEndpoint(asio::io_context& io, const std::string& bind, uint16_t port,
                                 fs::path partial_dir)
    : acceptor_(io), retry_(io), partial_dir_(std::move(partial_dir)) {
  asio::ip::tcp::endpoint at(asio::ip::make_address(bind), port);
  acceptor_.open(at.protocol());
  acceptor_.set_option(asio::socket_base::reuse_address(true));
  acceptor_.bind(at);
  acceptor_.listen();
  port_ = acceptor_.local_endpoint().port();
  Accept();
}

void MetricsEndpoint::Accept() {
  acceptor_.async_accept(asio::make_strand(acceptor_.get_executor()),
                         [this](std::error_code ec, asio::ip::tcp::socket socket) {
                           if (ec == asio::error::operation_aborted) return;
                           if (!ec) {
                             std::make_shared<MetricsConnection>(std::move(socket), partial_dir_)
                                 ->Start();
                             return Accept();
                           }
                           // Out of descriptors, most likely: try again shortly, not at once.
                           retry_.expires_after(std::chrono::milliseconds(100));
                           retry_.async_wait([this](std::error_code ec) {
                             if (!ec) Accept();
                           });
                         });
}

}  // namespace ovr
