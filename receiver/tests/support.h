// Test helpers: scratch folders, a blocking OVT/1 client, an in-process receiver.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <thread>

#include <gtest/gtest.h>
#include <xxhash.h>

#include "event_log.h"
#include "protocol.h"
#include "server.h"
#include "storage.h"
#include "users.h"

namespace ovr::test {

namespace fs = std::filesystem;

class ScratchDir {
 public:
  ScratchDir() {
    std::string pattern = (fs::temp_directory_path() / "ovreceiver-test-XXXXXX").string();
    path_ = ::mkdtemp(pattern.data());
  }
  ~ScratchDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

inline std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

inline void WriteFile(const fs::path& path, const std::string& data) {
  std::ofstream(path, std::ios::binary) << data;
}

inline std::string RandomBytes(size_t n, unsigned seed = 1) {
  std::mt19937_64 rng(seed);
  std::string s(n, '\0');
  for (auto& c : s) c = static_cast<char>(rng());
  return s;
}

inline std::string Sum(const std::string& data) {
  return FormatChecksum(XXH64(data.data(), data.size(), 0));
}

// Connects to 127.0.0.1:port; -1 on failure.
inline int Connect(uint16_t port) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::close(fd);
    return -1;
  }
  timeval tv{10, 0};  // a test never hangs on a silent server
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  return fd;
}

inline bool SendAll(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = ::send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// Reads everything until the peer closes (or the receive time-out).
inline std::string ReadToEnd(int fd) {
  std::string out;
  char buf[4096];
  for (;;) {
    ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0) return out;
    out.append(buf, static_cast<size_t>(n));
  }
}

// The engine's side of OVT/1, blocking, one reply per command.
class Client {
 public:
  explicit Client(uint16_t port) : fd_(Connect(port)) {}
  ~Client() { Close(); }
  bool connected() const { return fd_ >= 0; }
  void Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

  // Sends one command line and gives the reply line without its end; "" when closed.
  std::string Command(const std::string& line) {
    if (!SendAll(fd_, line + "\n")) return "";
    return ReadLine();
  }
  std::string ReadLine() {
    std::string line;
    char c;
    while (::recv(fd_, &c, 1, 0) == 1) {
      if (c == '\n') return line;
      line += c;
    }
    return "";
  }
  bool Send(const std::string& bytes) { return SendAll(fd_, bytes); }
  bool Login(const std::string& user = "alice", const std::string& password = "secret") {
    return Command("HELLO OVT/1") == "OK OVT/1" &&
           Command("LOGIN " + user + " " + password) == "OK";
  }
  // PUT, FROM 0, all bytes, END: gives END's reply.
  std::string Upload(const std::string& name, const std::string& data) {
    if (Command("PUT " + name + " " + std::to_string(data.size())).rfind("OK", 0) != 0)
      return "PUT refused";
    if (Command("FROM 0") != "OK 0") return "FROM refused";
    Send(data);
    return Command("END " + Sum(data));
  }
  int fd() const { return fd_; }

 private:
  int fd_;
};

// A receiver serving on free loopback ports on a thread of its own.
class ReceiverFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    users_ = std::make_unique<Users>(Users::Parse("alice:secret\nbob:b0b\n"));
    log_ = std::make_unique<EventLog>((dir_.path() / "received.log").string());
    storage_ = std::make_unique<Storage>(root(), *log_, false);
    server_ = std::make_unique<Server>(*users_, *storage_, "127.0.0.1", 0, uint16_t{0}, Tls());
    thread_ = std::thread([this] { server_->Run(2); });
  }
  void TearDown() override {
    server_->Stop();
    thread_.join();
    server_.reset();
  }
  // What the two ports speak: in clear unless a test says otherwise.
  virtual TlsSettings Tls() { return {}; }
  fs::path root() const { return dir_.path() / "root"; }
  std::string Log() const { return ReadFile(dir_.path() / "received.log"); }
  uint16_t port() const { return server_->upload_port(); }
  uint16_t http_port() const { return server_->http_port(); }

  ScratchDir dir_;
  std::unique_ptr<Users> users_;
  std::unique_ptr<EventLog> log_;
  std::unique_ptr<Storage> storage_;
  std::unique_ptr<Server> server_;
  std::thread thread_;
};

}  // namespace ovr::test
