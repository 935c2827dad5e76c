// The receiver under load: 200 uploads of mixed sizes at once on loopback against the same
// bytes sent one file after another on one connection, measured side by side in one run,
// with the receiver's peak resident memory during each. Prints ratios; asserts nothing.
//
//   receiver_load_bench [path/to/ovreceiver]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <xxhash.h>

#include "../receiver/src/unique_fd.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kFiles = 200;
constexpr int kRounds = 3;

std::string Hex(uint64_t v) {
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(v));
  return text;
}

// Sizes from 1 KiB to 4 MiB, spread evenly on a log scale, in a shuffled order.
std::vector<std::string> MakeFiles() {
  std::mt19937_64 rng(42);
  std::vector<std::string> files;
  for (int i = 0; i < kFiles; ++i) {
    size_t size = static_cast<size_t>(1024.0 * std::pow(4096.0, i / double(kFiles - 1)));
    std::string data(size, '\0');
    for (auto& c : data) c = static_cast<char>(rng());
    files.push_back(std::move(data));
  }
  std::shuffle(files.begin(), files.end(), rng);
  return files;
}

class Receiver {
 public:
  Receiver(const std::string& binary, const fs::path& dir) {
    fs::create_directories(dir);
    std::ofstream(dir / "users") << "alice:secret\n";
    fs::permissions(dir / "users", fs::perms::owner_read | fs::perms::owner_write);
    int out[2];
    if (::pipe(out) != 0) std::exit(1);
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(out[1], 1);
      std::string root = (dir / "root").string(), users = (dir / "users").string();
      // Its clients speak the bare protocol: the receiver runs in clear (and says so on
      // standard error, which stays the bench's).
      ::execl(binary.c_str(), binary.c_str(), "--root", root.c_str(), "--users", users.c_str(),
              "--port", "0", "--bind", "127.0.0.1", "--plain", static_cast<char*>(nullptr));
      ::_exit(127);
    }
    ovr::UniqueFd(out[1]).Reset();  // the receiver's end
    ovr::UniqueFd from_receiver(out[0]);
    std::string line;
    char c;
    while (::read(from_receiver.Get(), &c, 1) == 1 && c != '\n') line += c;
    unsigned port = 0, http = 0;
    if (std::sscanf(line.c_str(), "ovreceiver ready upload=%u http=%u", &port, &http) != 2) {
      std::fprintf(stderr, "receiver did not start: %s\n", line.c_str());
      std::exit(1);
    }
    port_ = static_cast<uint16_t>(port);
  }
  ~Receiver() {
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
  }
  uint16_t port() const { return port_; }
  long PeakKiB() const {
    std::ifstream in("/proc/" + std::to_string(pid_) + "/status");
    for (std::string line; std::getline(in, line);)
      if (line.rfind("VmHWM:", 0) == 0) return std::atol(line.c_str() + 6);
    return -1;
  }

 private:
  pid_t pid_ = -1;
  uint16_t port_ = 0;
};

class Connection {
 public:
  explicit Connection(uint16_t port) : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int one = 1;
    ::setsockopt(fd_.Get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    ok_ = ::connect(fd_.Get(), reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  }
  bool Send(const char* p, size_t n) {
    while (n > 0) {
      ssize_t k = ::send(fd_.Get(), p, n, MSG_NOSIGNAL);
      if (k <= 0) return false;
      p += k;
      n -= static_cast<size_t>(k);
    }
    return true;
  }
  std::string Command(const std::string& line) {
    std::string text = line + "\n";
    if (!Send(text.data(), text.size())) return "";
    std::string reply;
    char c;
    while (::recv(fd_.Get(), &c, 1, 0) == 1 && c != '\n') reply += c;
    return reply;
  }
  bool Login() {
    return ok_ && Command("HELLO OVT/1") == "OK OVT/1" && Command("LOGIN alice secret") == "OK";
  }
  bool Upload(const std::string& name, const std::string& data) {
    if (Command("PUT " + name + " " + std::to_string(data.size())) != "OK 0") return false;
    if (Command("FROM 0") != "OK 0") return false;
    if (!Send(data.data(), data.size())) return false;
    std::string sum = Hex(XXH64(data.data(), data.size(), 0));
    return Command("END " + sum) == "OK " + std::to_string(data.size()) + " " + sum;
  }

 private:
  ovr::UniqueFd fd_;
  bool ok_ = false;
};

struct Result {
  double seconds = -1;
  long peak_kib = 0;
};

Result OneConnection(const std::string& binary, const fs::path& dir,
                     const std::vector<std::string>& files) {
  Receiver receiver(binary, dir);
  Connection c(receiver.port());
  auto start = Clock::now();
  bool ok = c.Login();
  for (int i = 0; ok && i < kFiles; ++i) ok = c.Upload("one/f" + std::to_string(i), files[i]);
  Result r;
  if (ok) r.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  r.peak_kib = receiver.PeakKiB();
  return r;
}

Result AllAtOnce(const std::string& binary, const fs::path& dir,
                 const std::vector<std::string>& files) {
  Receiver receiver(binary, dir);
  std::atomic<int> good{0};
  std::vector<std::thread> threads;
  auto start = Clock::now();
  for (int i = 0; i < kFiles; ++i) {
    threads.emplace_back([&, i] {
      Connection c(receiver.port());
      if (c.Login() && c.Upload("many/f" + std::to_string(i), files[i])) ++good;
    });
  }
  for (auto& t : threads) t.join();
  Result r;
  if (good == kFiles) r.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  r.peak_kib = receiver.PeakKiB();
  return r;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  std::string binary = argc > 1 ? argv[1] : OVRECEIVER_BINARY;
  // The receiver, not the disk, is measured: in memory when the machine has it.
  fs::path base = fs::is_directory("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
  std::string pattern = (base / "receiver-bench-XXXXXX").string();
  fs::path dir = ::mkdtemp(pattern.data());
  std::vector<std::string> files = MakeFiles();
  size_t total = 0;
  for (auto& f : files) total += f.size();
  std::printf("receiver load: %d files, %.1f MiB, 1 KiB to 4 MiB, root in %s, receiver %s\n",
              kFiles, total / 1048576.0, base.c_str(), binary.c_str());

  std::vector<double> one, many;
  long one_peak = 0, many_peak = 0;
  for (int round = 0; round < kRounds; ++round) {
    std::string tag = std::to_string(round);
    Result a = OneConnection(binary, dir / ("one" + tag), files);
    Result b = AllAtOnce(binary, dir / ("many" + tag), files);
    fs::remove_all(dir / ("one" + tag));
    fs::remove_all(dir / ("many" + tag));
    if (a.seconds < 0 || b.seconds < 0) {
      std::printf("round %d: an upload failed\n", round);
      fs::remove_all(dir);
      return 1;
    }
    one.push_back(a.seconds);
    many.push_back(b.seconds);
    one_peak = std::max(one_peak, a.peak_kib);
    many_peak = std::max(many_peak, b.peak_kib);
  }
  fs::remove_all(dir);
  double t1 = Median(one), t200 = Median(many);
  std::printf("one connection, files in turn:   %.3f s  %.0f MiB/s  peak RSS %.1f MiB\n", t1,
              total / 1048576.0 / t1, one_peak / 1024.0);
  std::printf("200 connections at once:         %.3f s  %.0f MiB/s  peak RSS %.1f MiB\n", t200,
              total / 1048576.0 / t200, many_peak / 1024.0);
  std::printf("ratio (200 at once / one connection): time %.2f, peak memory %.2f\n", t200 / t1,
              double(many_peak) / one_peak);
  return 0;
}
