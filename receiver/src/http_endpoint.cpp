#include "http_endpoint.h"

#include "tls_stream.h"

#include <cctype>
#include <memory>

#include "protocol.h"

namespace ovr {
namespace {

constexpr size_t kMaxHead = 16 * 1024;
// A request must be complete by then; a still trickling in on a slow line still fits.
constexpr auto kRequestTimeout = std::chrono::seconds(300);
constexpr size_t kMaxHint = 100;

std::string_view Query(std::string_view target) {
  size_t q = target.find('?');
  return q == std::string_view::npos ? std::string_view() : target.substr(q + 1);
}

template <typename F>
void ForEachParam(std::string_view query, F f) {
  while (!query.empty()) {
    size_t amp = query.find('&');
    std::string_view param = query.substr(0, amp);
    size_t eq = param.find('=');
    std::string key;
    if (!PercentDecode(param.substr(0, eq), key)) key = std::string(param.substr(0, eq));
    f(key, eq == std::string_view::npos ? std::string_view() : param.substr(eq + 1), param);
    if (amp == std::string_view::npos) break;
    query.remove_prefix(amp + 1);
  }
}

bool IsDecimal(std::string_view text) {
  if (!text.empty() && text.front() == '-') text.remove_prefix(1);
  if (text.empty() || text.size() > 18) return false;
  for (char c : text)
    if (c < '0' || c > '9') return false;
  return true;
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

bool SameText(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  return true;
}

class HttpConnection : public std::enable_shared_from_this<HttpConnection> {
 public:
  HttpConnection(asio::ip::tcp::socket socket, asio::ssl::context* tls, Storage& storage)
      : socket_(std::move(socket), tls), timer_(socket_.get_executor()), storage_(storage),
        head_(kMaxHead) {}

  void Start() {
    timer_.expires_after(kRequestTimeout);
    timer_.async_wait([self = shared_from_this()](std::error_code ec) {
      if (!ec) self->socket_.close(ec);
    });
    // The TLS handshake runs within the request's time.
    socket_.async_handshake([self = shared_from_this()](std::error_code ec) {
      if (ec) {
        self->timer_.cancel();
        self->socket_.close(ec);
        return;
      }
      asio::async_read_until(self->socket_, self->head_, "\r\n\r\n",
                             [self](std::error_code ec, size_t n) { self->OnHead(ec, n); });
    });
  }

 private:
  void OnHead(std::error_code ec, size_t n) {
    if (ec == asio::error::not_found) return Reply(400);  // head too large
    if (ec) return;
    std::string head(asio::buffers_begin(head_.data()), asio::buffers_begin(head_.data()) + n);
    head_.consume(n);

    size_t eol = head.find("\r\n");
    std::string_view request_line(head.data(), eol);
    size_t sp1 = request_line.find(' ');
    size_t sp2 = request_line.rfind(' ');
    if (sp1 == std::string_view::npos || sp2 == sp1) return Reply(400);
    std::string_view method = request_line.substr(0, sp1);
    target_ = std::string(request_line.substr(sp1 + 1, sp2 - sp1 - 1));

    uint64_t length = 0;
    bool expect_continue = false;
    for (size_t at = eol + 2; at < head.size();) {
      size_t end = head.find("\r\n", at);
      std::string_view line(head.data() + at, end - at);
      at = end + 2;
      size_t colon = line.find(':');
      if (colon == std::string_view::npos) continue;
      std::string_view name = Trim(line.substr(0, colon)), value = Trim(line.substr(colon + 1));
      if (SameText(name, "Content-Length") && !ParseU64(value, length)) return Reply(400);
      if (SameText(name, "Transfer-Encoding")) return Reply(400);  // WinINet sends a length
      if (SameText(name, "Expect") && SameText(value, "100-continue")) expect_continue = true;
    }
    if (method != "POST" || length > kMaxStill || !FindDuration(target_, seconds_))
      return Reply(400);

    body_.resize(static_cast<size_t>(length));
    size_t have = std::min(head_.size(), body_.size());
    asio::buffer_copy(asio::buffer(body_), head_.data(), have);
    head_.consume(have);
    if (expect_continue && have < body_.size()) {
      interim_ = "HTTP/1.1 100 Continue\r\n\r\n";
      asio::async_write(socket_, asio::buffer(interim_),
                        [self = shared_from_this(), have](std::error_code ec, size_t) {
                          if (!ec) self->ReadBody(have);
                        });
      return;
    }
    ReadBody(have);
  }

  void ReadBody(size_t have) {
    asio::async_read(socket_, asio::buffer(body_.data() + have, body_.size() - have),
                     [self = shared_from_this()](std::error_code ec, size_t) {
                       if (!ec) self->Complete();
                     });
  }

  void Complete() {
    if (body_.empty()) {
      storage_.log().Duration(target_, seconds_);
      return Reply(200);
    }
    std::string path;
    Status s = storage_.StoreStill(body_, StillHint(target_), path);
    if (!s.ok()) return Reply(500);
    storage_.log().Still(target_, seconds_, body_.size(), path);
    Reply(200);
  }

  // The control judges a post by the reply body alone: under 5 bytes is success.
  void Reply(int status) {
    const char* reason = status == 200 ? "OK" : status == 400 ? "Bad Request" : "Internal Server Error";
    std::string body = status == 200 ? "OK" : "ERROR";
    response_ = "HTTP/1.1 " + std::to_string(status) + ' ' + reason +
                "\r\nContent-Type: text/plain\r\nContent-Length: " + std::to_string(body.size()) +
                "\r\nConnection: close\r\n\r\n" + body;
    asio::async_write(socket_, asio::buffer(response_),
                      [self = shared_from_this()](std::error_code ec, size_t) {
                        self->socket_.shutdown(asio::ip::tcp::socket::shutdown_send, ec);
                        self->Linger();
                      });
  }

  // Reads what the client still sends (a refused body) until it closes, so that the
  // reply is not destroyed by a reset; the request timer bounds the wait.
  void Linger() {
    socket_.async_read_some(asio::buffer(scratch_),
                            [self = shared_from_this()](std::error_code ec, size_t) {
                              if (ec) {
                                self->timer_.cancel();
                                self->socket_.close(ec);
                              } else {
                                self->Linger();
                              }
                            });
  }

  Stream socket_;
  asio::steady_timer timer_;
  Storage& storage_;
  asio::streambuf head_;
  std::string target_, seconds_, body_, interim_, response_;
  char scratch_[4096];
};

}  // namespace

bool FindDuration(std::string_view target, std::string& seconds) {
  bool found = false;
  ForEachParam(Query(target), [&](const std::string& key, std::string_view value,
                                  std::string_view) {
    if (key != "$dur$") return;
    found = IsDecimal(value);
    if (found) seconds = std::string(value);
  });
  return found;
}

std::string StillHint(std::string_view target) {
  std::string hint;
  ForEachParam(Query(target), [&](const std::string& key, std::string_view, std::string_view param) {
    if (key == "$dur$" || param.empty()) return;
    if (!hint.empty()) hint += '_';
    for (char c : param) {
      bool safe = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                  c == '-' || c == '.';
      hint += safe ? c : '_';
    }
  });
  if (hint.size() > kMaxHint) hint.resize(kMaxHint);
  return hint;
}

void ServeHttp(asio::ip::tcp::socket socket, asio::ssl::context* tls, Storage& storage) {
  std::make_shared<HttpConnection>(std::move(socket), tls, storage)->Start();
}

}  // namespace ovr
