#include "local_http_server.h"

#include <ws2tcpip.h>

#include <algorithm>
#include <chrono>

namespace snapshot_tests {
namespace {

bool SameText(const std::string& a, const std::string& b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return tolower(x) == tolower(y); });
}

}  // namespace

std::string RecordedRequest::Header(const std::string& name) const {
  for (const auto& h : headers)
    if (SameText(h.first, name)) return h.second;
  return "";
}

bool RecordedRequest::HasHeader(const std::string& name) const {
  return std::any_of(headers.begin(), headers.end(), [&](const auto& h) { return SameText(h.first, name); });
}

std::string HttpResponse(int status, const std::string& body, const std::string& extra_headers) {
  return "HTTP/1.1 " + std::to_string(status) + " Status\r\n" + extra_headers +
         "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

LocalHttpServer::LocalHttpServer() : default_reply_(HttpResponse(200, "")) {
  WSADATA data;
  WSAStartup(MAKEWORD(2, 2), &data);
  listener_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof(address));
  listen(listener_, 16);
  int length = sizeof(address);
  getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
  port_ = ntohs(address.sin_port);
  acceptor_ = std::thread([this] { AcceptLoop(); });
}

LocalHttpServer::~LocalHttpServer() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    held_ = false;
  }
  changed_.notify_all();
  closesocket(listener_);
  acceptor_.join();
  for (std::thread& t : servers_) t.join();
  WSACleanup();
}

std::wstring LocalHttpServer::Url(const std::wstring& path) const {
  return L"http://127.0.0.1:" + std::to_wstring(port_) + path;
}

void LocalHttpServer::QueueReply(std::string response) {
  std::lock_guard<std::mutex> lock(mutex_);
  replies_.push_back(std::move(response));
}

void LocalHttpServer::SetDefaultReply(std::string response) {
  std::lock_guard<std::mutex> lock(mutex_);
  default_reply_ = std::move(response);
}

void LocalHttpServer::ChallengeUnauthorised(std::string response) {
  std::lock_guard<std::mutex> lock(mutex_);
  challenge_ = std::move(response);
}

void LocalHttpServer::HoldReplies() {
  std::lock_guard<std::mutex> lock(mutex_);
  held_ = true;
}

void LocalHttpServer::ReleaseReplies() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    held_ = false;
  }
  changed_.notify_all();
}

std::vector<RecordedRequest> LocalHttpServer::Requests() {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

int LocalHttpServer::Connections() {
  std::lock_guard<std::mutex> lock(mutex_);
  return accepted_;
}

bool LocalHttpServer::WaitForRequests(size_t count, DWORD timeout_ms) {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] { return requests_.size() >= count; });
}

void LocalHttpServer::AcceptLoop() {
  for (;;) {
    SOCKET connection = accept(listener_, nullptr, nullptr);
    if (connection == INVALID_SOCKET) return;  // the listener was closed
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) {
      closesocket(connection);
      return;
    }
    connections_.push_back(connection);
    ++accepted_;
    servers_.emplace_back([this, connection] { Serve(connection); });
  }
}

std::string LocalHttpServer::NextReply(const RecordedRequest& request) {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [&] { return !held_ || stopping_; });
  if (!challenge_.empty() && !request.HasHeader("Authorization")) return challenge_;
  if (replies_.empty()) return default_reply_;
  std::string reply = std::move(replies_.front());
  replies_.pop_front();
  return reply;
}

void LocalHttpServer::Serve(SOCKET connection) {
  std::string data;
  char buffer[65536];
  auto receive = [&] {
    // The client may keep an idle connection open for long; the server looks up now and then
    // to see whether it is stopping.
    for (;;) {
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_) return false;
      }
      fd_set readable;
      FD_ZERO(&readable);
      FD_SET(connection, &readable);
      timeval wait = {0, 50000};
      const int ready = select(0, &readable, nullptr, nullptr, &wait);
      if (ready < 0) return false;
      if (ready > 0) break;
    }
    const int n = recv(connection, buffer, sizeof(buffer), 0);
    if (n <= 0) return false;
    data.append(buffer, static_cast<size_t>(n));
    return true;
  };
  // Requests follow one another on a kept-alive connection until the client closes it.
  for (;;) {
    size_t end;
    while ((end = data.find("\r\n\r\n")) == std::string::npos) {
      if (!receive()) goto done;
      // A TLS handshake record: this server speaks plain HTTP only, so it hangs up at once.
      if (data[0] == '\x16') goto done;
    }
    RecordedRequest request;
    {
      const std::string head = data.substr(0, end);
      data.erase(0, end + 4);
      size_t line_end = head.find("\r\n");
      const std::string line = head.substr(0, line_end);
      const size_t space1 = line.find(' '), space2 = line.rfind(' ');
      request.method = line.substr(0, space1);
      request.target = line.substr(space1 + 1, space2 - space1 - 1);
      while (line_end != std::string::npos) {
        const size_t start = line_end + 2;
        line_end = head.find("\r\n", start);
        const std::string header = head.substr(start, line_end == std::string::npos ? std::string::npos : line_end - start);
        const size_t colon = header.find(':');
        if (colon == std::string::npos) continue;
        std::string value = header.substr(colon + 1);
        value.erase(0, value.find_first_not_of(' '));
        request.headers.emplace_back(header.substr(0, colon), value);
      }
    }
    const std::string length_text = request.Header("Content-Length");
    const size_t length = length_text.empty() ? 0 : std::stoul(length_text);
    while (data.size() < length)
      if (!receive()) goto done;
    request.body = data.substr(0, length);
    data.erase(0, length);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      requests_.push_back(request);
    }
    changed_.notify_all();
    const std::string reply = NextReply(request);
    if (reply.empty()) break;  // hangs up without an answer
    send(connection, reply.data(), static_cast<int>(reply.size()), 0);
  }
done:
  std::lock_guard<std::mutex> lock(mutex_);
  connections_.erase(std::find(connections_.begin(), connections_.end(), connection));
  closesocket(connection);
}

}  // namespace snapshot_tests
