#include "http_endpoint.h"

#include <algorithm>
#include <cctype>
#include <memory>

#include "metrics.h"
#include "line_codec.h"

namespace ovr {
namespace {

constexpr size_t kMaxHead = 16 * 1024;
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
    if (!ovt::PercentDecode(param.substr(0, eq), &key)) key = std::string(param.substr(0, eq));
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

class HttpConnection : public std::enable_shared_from_this<HttpConnection>, public Evictable {
 public:
  HttpConnection(TcpStream stream, HttpContext& context)
      : stream_(std::move(stream)), timer_(stream_.get_executor()), context_(context),
        address_(AddressKey(stream_.peer())) {}
  ~HttpConnection() { context_.budget.Give(address_, held_); }

  void Start(Gate::Ticket ticket) {
    ticket_ = std::move(ticket);
    // A still trickling in on a slow line must fit in this time, head and body.
    timer_.expires_after(context_.limits.http_timeout);
    timer_.async_wait([self = shared_from_this()](std::error_code ec) {
      if (ec) return;
      metrics().Hit(Limit::kHttpTimeout);
      self->Abort();
    });
    stream_.AsyncStart([self = shared_from_this()](std::error_code ec) {
      if (self->closed_) return;
      if (ec) return self->Abort();
      self->ReadHead();
    });
  }

  // The byte budget of unfinished requests is spent.
  void Busy() {
    metrics().Hit(Limit::kHttpBytes);
    Reply(503);
  }

  void Evict() override {
    asio::post(stream_.get_executor(), [self = shared_from_this()] { self->Abort(); });
  }

 private:
  // Closes at once: a client gone or too slow, or room needed for others. The buffers go
  // with the object, as soon as the cancelled operations have ended.
  void Abort() {
    if (closed_) return;
    closed_ = true;
    timer_.cancel();
    stream_.Close();
    ticket_.Release();
  }

  // Brings the bytes held in line with the budget; false when the budget is spent.
  bool Account() {
    uint64_t now = in_.capacity() + body_.capacity();
    if (now > held_) {
      if (!context_.budget.Take(address_, now - held_)) return false;
    } else {
      context_.budget.Give(address_, held_ - now);
    }
    held_ = now;
    return true;
  }

  void ReadHead() {
    stream_.AsyncReadSome(asio::buffer(scratch_), [self = shared_from_this()](std::error_code ec,
                                                                             size_t n) {
      if (self->closed_) return;
      if (ec) return self->Abort();
      self->in_.append(self->scratch_, n);
      if (!self->Account()) return self->Busy();
      size_t end = self->in_.find("\r\n\r\n");
      if (end == std::string::npos) {
        if (self->in_.size() > kMaxHead) return self->Reply(400);  // head too large
        return self->ReadHead();
      }
      if (end + 4 > kMaxHead) return self->Reply(400);
      self->OnHead(end + 4);
    });
  }

  void OnHead(size_t n) {
    std::string head = in_.substr(0, n);
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
      if (SameText(name, "Content-Length") && !ovt::ParseNumber(value, &length)) return Reply(400);
      if (SameText(name, "Transfer-Encoding")) return Reply(400);  // WinINet sends a length
      if (SameText(name, "Expect") && SameText(value, "100-continue")) expect_continue = true;
    }
    if (length > kMaxStill) metrics().Hit(Limit::kStillTooLarge);
    if (method != "POST" || length > kMaxStill || !FindDuration(target_, seconds_))
      return Reply(400);

    // The body grows as its bytes come, never ahead of them from the announced length.
    length_ = static_cast<size_t>(length);
    body_ = in_.substr(n, length_);
    std::string().swap(in_);
    if (!Account()) return Busy();
    if (expect_continue && body_.size() < length_) {
      interim_ = "HTTP/1.1 100 Continue\r\n\r\n";
      stream_.AsyncWrite(asio::buffer(interim_), [self = shared_from_this()](std::error_code ec,
                                                                            size_t) {
        if (self->closed_) return;
        if (ec) return self->Abort();
        self->ReadBody();
      });
      return;
    }
    ReadBody();
  }

  void ReadBody() {
    if (body_.size() == length_) return Complete();
    // Small reads, appended: the body takes memory only as its bytes come.
    size_t want = std::min(sizeof scratch_, length_ - body_.size());
    stream_.AsyncReadSome(asio::buffer(scratch_, want),
                          [self = shared_from_this()](std::error_code ec, size_t n) {
                            if (self->closed_) return;
                            if (ec) return self->Abort();
                            std::string& body = self->body_;
                            if (body.capacity() < body.size() + n)
                              body.reserve(std::min(self->length_, std::max(body.size() + n,
                                                                            body.capacity() * 2)));
                            body.append(self->scratch_, n);
                            if (!self->Account()) return self->Busy();
                            self->ReadBody();
                          });
  }

  void Complete() {
    if (body_.empty()) {
      context_.storage.log().Duration(target_, seconds_);
      return Reply(200);
    }
    std::string path;
    Status s = context_.storage.StoreStill(body_, StillHint(target_), path);
    if (!s.ok()) return Reply(500);
    context_.storage.log().Still(target_, seconds_, body_.size(), path);
    Reply(200);
  }

  // The control judges a post by the reply body alone: under 5 bytes is success.
  void Reply(int status) {
    std::string().swap(in_);
    std::string().swap(body_);
    Account();
    const char* reason = status == 200   ? "OK"
                         : status == 400 ? "Bad Request"
                         : status == 503 ? "Service Unavailable"
                                         : "Internal Server Error";
    std::string body = status == 200 ? "OK" : "ERROR";
    response_ = "HTTP/1.1 " + std::to_string(status) + ' ' + reason +
                "\r\nContent-Type: text/plain\r\nContent-Length: " + std::to_string(body.size()) +
                "\r\nConnection: close\r\n\r\n" + body;
    stream_.AsyncWrite(asio::buffer(response_), [self = shared_from_this()](std::error_code ec,
                                                                           size_t) {
      if (self->closed_) return;
      if (ec) return self->Abort();
      // The request timer bounds the wait for the client's end.
      self->stream_.AsyncEnd([self](std::error_code) { self->Abort(); });
    });
  }

  TcpStream stream_;
  asio::steady_timer timer_;
  HttpContext& context_;
  const std::string address_;
  Gate::Ticket ticket_;
  bool closed_ = false;
  uint64_t held_ = 0;  // taken from the budget
  size_t length_ = 0;
  std::string in_;     // the head as it comes
  std::string target_, seconds_, body_, interim_, response_;
  char scratch_[16 * 1024];
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

bool ByteBudget::Take(const std::string& address, uint64_t n) {
  std::lock_guard<std::mutex> lock(mutex_);
  uint64_t& mine = by_address_[address];
  if (n > per_address_ - std::min(per_address_, mine) || n > total_ - std::min(total_, held_)) {
    if (mine == 0) by_address_.erase(address);
    return false;
  }
  mine += n;
  held_ += n;
  return true;
}

void ByteBudget::Give(const std::string& address, uint64_t n) {
  if (n == 0) return;
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = by_address_.find(address);
  if (it == by_address_.end()) return;
  it->second -= std::min(it->second, n);
  held_ -= std::min(held_, n);
  if (it->second == 0) by_address_.erase(it);
}

uint64_t ByteBudget::held() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return held_;
}

void ServeHttp(TcpStream stream, HttpContext& context) {
  std::string address = AddressKey(stream.peer());
  auto connection = std::make_shared<HttpConnection>(std::move(stream), context);
  connection->Start(context.gate.Admit(address, connection));
}

}  // namespace ovr
