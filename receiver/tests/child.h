// Test helpers: the ovreceiver program run as a child process.
#pragma once

#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "support.h"

namespace ovr::test {

// An ovreceiver started with args (plus --bind 127.0.0.1 --port 0, and --plain unless the
// args set up TLS), its ports read from the ready line; stopped with SIGTERM when it goes.
class RunningReceiver {
 public:
  explicit RunningReceiver(std::vector<std::string> args, bool plain = true) {
    args.insert(args.end(), {"--bind", "127.0.0.1", "--port", "0"});
    if (plain) args.push_back("--plain");
    child_ = Spawn(args);
    ready_ = ReadLineFrom(child_.out.Get());
    unsigned upload = 0, http = 0, metrics = 0;
    std::sscanf(ready_.c_str(), "ovreceiver ready upload=%u http=%u metrics=%u", &upload, &http,
                &metrics);
    upload_ = static_cast<uint16_t>(upload);
    http_ = static_cast<uint16_t>(http);
    metrics_ = static_cast<uint16_t>(metrics);
  }
  ~RunningReceiver() { EXPECT_EQ(Stop(), 0); }
  // Exit status after SIGTERM.
  int Stop() {
    if (child_.pid < 0) return 0;
    return child_.Stop(std::chrono::seconds(10));
  }
  void Signal(int sig) { ::kill(child_.pid, sig); }
  // The next line on its standard error ("" when it closed).
  std::string ErrorLine() { return ReadLineFrom(child_.err.Get()); }
  // Error lines up to and including the first one that holds text; all of them joined.
  std::string ErrorsUntil(const std::string& text) {
    std::string all;
    for (std::string line = ErrorLine(); !line.empty(); line = ErrorLine()) {
      all += line + '\n';
      if (line.find(text) != std::string::npos) break;
    }
    return all;
  }
  const std::string& ready() const { return ready_; }
  uint16_t upload_port() const { return upload_; }
  uint16_t http_port() const { return http_; }  // 0 when the endpoint is off
  uint16_t metrics_port() const { return metrics_; }

 private:
  Child child_;
  std::string ready_;
  uint16_t upload_ = 0, http_ = 0, metrics_ = 0;
};

// GET target over HTTP/1.1 on loopback: the whole reply, head and body.
inline std::string HttpGet(uint16_t port, const std::string& target) {
  UniqueFd fd = Connect(port);
  if (!fd.Valid()) return "";
  SendAll(fd.Get(), "GET " + target + " HTTP/1.1\r\nHost: localhost\r\n\r\n");
  return ReadToEnd(fd.Get());
}

}  // namespace ovr::test
