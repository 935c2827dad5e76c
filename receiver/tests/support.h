// Test helpers: scratch folders, a blocking OVT/1 client, an in-process receiver.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <vector>

#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <thread>

#include <gtest/gtest.h>
#include <xxhash.h>

#include "config.h"
#include "event_log.h"
#include "line_codec.h"
#include "server.h"
#include "storage.h"
#include "unique_fd.h"
#include "users.h"

namespace ovr::test {

namespace fs = std::filesystem;

class ScratchDir {
 public:
  explicit ScratchDir(const fs::path& base = fs::temp_directory_path()) {
    std::string pattern = (base / "ovreceiver-test-XXXXXX").string();
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
  return ovt::ChecksumText(XXH64(data.data(), data.size(), 0));
}

// Connects to 127.0.0.1:port; an invalid descriptor on failure.
inline UniqueFd Connect(uint16_t port) {
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM, 0));
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd.Get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return UniqueFd();
  int one = 1;  // commands right after raw bytes go out at once, as the engine's do
  ::setsockopt(fd.Get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  timeval tv{10, 0};  // a test never hangs on a silent server
  ::setsockopt(fd.Get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
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
  bool connected() const { return fd_.Valid(); }
  void Close() { fd_.Reset(); }

  // Sends one command line and gives the reply line without its end; "" when closed.
  std::string Command(const std::string& line) {
    if (!SendAll(fd_.Get(), line + "\n")) return "";
    return ReadLine();
  }
  std::string ReadLine() {
    std::string line;
    char c;
    while (::recv(fd_.Get(), &c, 1, 0) == 1) {
      if (c == '\n') return line;
      line += c;
    }
    return "";
  }
  bool Send(const std::string& bytes) { return SendAll(fd_.Get(), bytes); }
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
  int fd() const { return fd_.Get(); }

 private:
  UniqueFd fd_;
};

// A receiver serving on free loopback ports on a thread of its own.
class ReceiverFixture : public ::testing::Test {
 protected:
  void SetUp() override { Start({}); }
  void TearDown() override { StopServer(); }
  void Start(const Limits& limits) {
    users_ = std::make_unique<Users>(Users::Parse("alice:secret\nbob:b0b\n"));
    log_ = std::make_unique<EventLog>((dir_.path() / "received.log").string());
    storage_ = std::make_unique<Storage>(root(), *log_, false, limits);
    server_ = std::make_unique<Server>(*users_, *storage_, "127.0.0.1", 0, uint16_t{0}, limits, Tls());
    thread_ = std::thread([this] { server_->Run(2); });
  }
  void StopServer() {
    if (!server_) return;
    server_->Stop();
    thread_.join();
    server_.reset();
  }
  // Serves again on new ports with other limits, keeping the root.
  void Restart(const Limits& limits) {
    StopServer();
    Start(limits);
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

inline std::string ReadLineFrom(int fd) {
  std::string line;
  char ch;
  while (::read(fd, &ch, 1) == 1 && ch != '\n') line += ch;
  return line;
}

// Exit status, or -1 if the child is still running after the time-out (then killed).
inline int WaitExit(pid_t pid, std::chrono::seconds timeout) {
  auto until = std::chrono::steady_clock::now() + timeout;
  int status = 0;
  while (::waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > until) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// The ovreceiver program started as a child with these arguments, its output and error
// output on pipes; nothing is waited for.
struct Child {
  pid_t pid = -1;
  UniqueFd out, err;

  // SIGTERM, then the exit status (-1 when it had to be killed); its pipes are closed.
  int Stop(std::chrono::seconds timeout = std::chrono::seconds(5)) {
    ::kill(pid, SIGTERM);
    const int status = WaitExit(pid, timeout);
    out.Reset();
    err.Reset();
    pid = -1;
    return status;
  }
};

inline Child Spawn(std::vector<std::string> args) {
  args.insert(args.begin(), OVRECEIVER_BINARY);
  int out[2], err[2];
  EXPECT_EQ(::pipe(out), 0);
  EXPECT_EQ(::pipe(err), 0);
  Child c;
  c.pid = ::fork();
  if (c.pid == 0) {
    ::dup2(out[1], 1);
    ::dup2(err[1], 2);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  UniqueFd(out[1]).Reset();  // the child's ends
  UniqueFd(err[1]).Reset();
  c.out.Reset(out[0]);
  c.err.Reset(err[0]);
  return c;
}

// The ovreceiver program in a process of its own, with its standard output and error.
class ReceiverProcess {
 public:
  ReceiverProcess() = default;
  ReceiverProcess(const ReceiverProcess&) = delete;
  ReceiverProcess& operator=(const ReceiverProcess&) = delete;
  ~ReceiverProcess() {
    if (pid_ > 0) Stop();
  }

  // Runs the program with these arguments, without waiting for it.
  void Spawn(std::vector<std::string> args) {
    Child child = test::Spawn(std::move(args));
    pid_ = child.pid;
    out_ = std::move(child.out);
    err_ = std::move(child.err);
  }
  // Runs it in clear on loopback with free ports and waits for its ready line; false if none
  // came. Its warning about running in clear is taken from its error output first.
  bool Start(const fs::path& root, const fs::path& users, std::vector<std::string> more = {}) {
    std::vector<std::string> args = {"--root", root.string(), "--users", users.string(),
                                     "--port", "0", "--http-port", "0", "--bind", "127.0.0.1", "--plain"};
    args.insert(args.end(), more.begin(), more.end());
    Spawn(args);
    plain_warning_ = ReadLineFrom(err_.Get());
    std::string ready = ReadLineFrom(out_.Get());
    unsigned upload = 0, http = 0;
    if (std::sscanf(ready.c_str(), "ovreceiver ready upload=%u http=%u", &upload, &http) != 2)
      return false;
    port_ = static_cast<uint16_t>(upload);
    http_port_ = static_cast<uint16_t>(http);
    return true;
  }
  // SIGTERM, then the exit status (-1 when it had to be killed).
  int Stop(int sig = SIGTERM) {
    ::kill(pid_, sig);
    int status = WaitExit(pid_, std::chrono::seconds(5));
    out_.Reset();
    err_.Reset();
    pid_ = -1;
    return status;
  }
  pid_t pid() const { return pid_; }
  int out() const { return out_.Get(); }
  int err() const { return err_.Get(); }
  uint16_t port() const { return port_; }
  uint16_t http_port() const { return http_port_; }
  const std::string& plain_warning() const { return plain_warning_; }

  // Resident memory in KiB.
  long ResidentKiB() const { return StatusField("VmRSS:"); }
  long PeakResidentKiB() const { return StatusField("VmHWM:"); }
  // Open descriptors.
  size_t Descriptors() const {
    std::error_code ec;
    auto it = fs::directory_iterator("/proc/" + std::to_string(pid_) + "/fd", ec);
    return ec ? 0 : static_cast<size_t>(std::distance(it, fs::directory_iterator()));
  }

 private:
  long StatusField(const std::string& name) const {
    std::ifstream in("/proc/" + std::to_string(pid_) + "/status");
    for (std::string line; std::getline(in, line);)
      if (line.rfind(name, 0) == 0) return std::atol(line.c_str() + name.size());
    return -1;
  }
  pid_t pid_ = -1;
  UniqueFd out_, err_;
  uint16_t port_ = 0, http_port_ = 0;
  std::string plain_warning_;
};

// Polls until done() holds or the time is up; gives done()'s last answer.
template <typename F>
bool WaitFor(F done, std::chrono::milliseconds limit) {
  auto until = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > until) return done();
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

}  // namespace ovr::test
