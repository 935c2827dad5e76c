// ovreceiver: accepts uploads from the transfer engine and the control's duration and
// still posts. See docs/receiver.md.
#include <sys/resource.h>
#include <sys/stat.h>
#include <systemd/sd-daemon.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>
#include <thread>

#include "config_file.h"
#include "metrics.h"
#include "passwd.h"
#include "paths.h"
#include "protocol.h"
#include "reload.h"
#include "server.h"

namespace {

const char kUsage[] =
    "usage: ovreceiver [--config FILE] --root DIR --users FILE [--port N] [--bind ADDR]\n"
    "                  [--http-port N] [--log FILE] [--sync]\n"
    "       ovreceiver passwd FILE USER   (sets USER's password hash in the users file)\n"
    "       ovreceiver --version\n"
    "  --config FILE    read these options from FILE first (key = value lines)\n"
    "  --root DIR       folder that receives the uploads (made if missing)\n"
    "  --users FILE     lines user:hash (from ovreceiver passwd)\n"
    "  --port N         upload port (default 8852, 0 picks a free one)\n"
    "  --bind ADDR      address to listen on (default 0.0.0.0)\n"
    "  --http-port N    serve duration and still posts (0 picks a free port; off if absent)\n"
    "  --log FILE       completed-files log (default ROOT/.ovreceiver/received.log)\n"
    "  --sync           flush each file to disk before moving it into place\n"
    "  --metrics-port N serve Prometheus metrics at /metrics (0 picks a free port; off if absent)\n"
    "  --metrics-bind ADDR  address of the metrics listener (default 127.0.0.1)\n";

struct Options {
  std::string root, users, bind = "0.0.0.0", log;
  std::optional<uint16_t> port = 8852;  // always set
  std::optional<uint16_t> http_port;
  std::string metrics_bind = "127.0.0.1";
  std::optional<uint16_t> metrics_port;
  bool sync = false;
};

[[noreturn]] void Fail(const std::string& message) {
  std::cerr << "ovreceiver: " << message << '\n';
  std::exit(2);
}

bool Port(const std::string& text, std::optional<uint16_t>& port) {
  uint64_t v = 0;
  if (!ovr::ParseU64(text, v) || v > 65535) return false;
  port = static_cast<uint16_t>(v);
  return true;
}

bool IsFlag(const std::string& name) { return name == "sync"; }

// Sets the option called name (without "--"); gives what is wrong, or "" when it is set.
std::string SetOption(Options& o, const std::string& name, const std::string& value) {
  bool ok = true;
  if (name == "root") o.root = value;
  else if (name == "users") o.users = value;
  else if (name == "port") ok = Port(value, o.port);
  else if (name == "bind") o.bind = value;
  else if (name == "http-port") ok = Port(value, o.http_port);
  else if (name == "log") o.log = value;
  else if (name == "sync") o.sync = true;
  else if (name == "metrics-port") ok = Port(value, o.metrics_port);
  else if (name == "metrics-bind") o.metrics_bind = value;
  else return "unknown option --" + name;
  if (!ok || (value.empty() && !IsFlag(name))) return "bad value for --" + name + ": " + value;
  return {};
}

// A key of the configuration file is an option's name; a switch takes true or false.
std::string SetFromFile(Options& o, const std::string& key, const std::string& value) {
  if (key == "config") return "a configuration file cannot name another";
  if (!IsFlag(key)) return SetOption(o, key, value);
  bool on = false;
  if (!ovr::ParseSwitch(value, on)) return "bad value for " + key + " (true or false): " + value;
  return on ? SetOption(o, key, "") : std::string();
}

Options Parse(int argc, char** argv) {
  Options o;
  // The file first, so that the command line overrides it.
  for (int i = 1; i + 1 < argc; ++i)
    if (std::strcmp(argv[i], "--config") == 0) {
      try {
        ovr::ReadConfigFile(argv[i + 1], [&](const std::string& key, const std::string& value) {
          return SetFromFile(o, key, value);
        });
      } catch (const ovr::ConfigError& e) {
        Fail(e.what());
      }
    }
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::cout << kUsage;
      std::exit(0);
    }
    if (arg == "--version") {
      std::cout << "ovreceiver " OVRECEIVER_VERSION "\n";
      std::exit(0);
    }
    if (arg.rfind("--", 0) != 0) Fail("unexpected argument " + arg + "\n" + kUsage);
    std::string name = arg.substr(2), value;
    if (!IsFlag(name)) {
      if (i + 1 >= argc) Fail("missing value after " + arg + "\n" + kUsage);
      value = argv[++i];
    }
    if (name == "config") continue;  // read above
    std::string error = SetOption(o, name, value);
    if (!error.empty()) Fail(error + "\n" + kUsage);
  }
  if (o.root.empty() || o.users.empty()) Fail(std::string("--root and --users are required\n") + kUsage);
  return o;
}

// Every upload holds a socket and a file open: allow as many as the system lets us.
void RaiseDescriptorLimit() {
  rlimit limit;
  if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "passwd") == 0) {
    if (argc != 4) Fail("usage: ovreceiver passwd FILE USER");
    return ovr::PasswdCommand(argv[2], argv[3]);
  }
  Options o = Parse(argc, argv);
  RaiseDescriptorLimit();
  try {
    ovr::Users users = ovr::Users::Load(o.users);
    if (users.size() == 0) std::cerr << "ovreceiver: warning: no users in " << o.users << '\n';
    ovr::WarnOfPlainPasswords(users, o.users);
    struct stat st;
    if (::stat(o.users.c_str(), &st) == 0 && (st.st_mode & 077))
      std::cerr << "ovreceiver: warning: " << o.users
                << " is readable by other users (chmod 600 it)\n";

    std::error_code ec;
    std::filesystem::create_directories(o.root, ec);
    if (ec) Fail("cannot make root " + o.root + ": " + ec.message());
    std::filesystem::create_directories(std::filesystem::path(o.root) / ovr::kPrivateFolder, ec);
    std::string log_path = o.log.empty()
        ? (std::filesystem::path(o.root) / ovr::kPrivateFolder / "received.log").string()
        : o.log;
    ovr::EventLog log(log_path);
    ovr::Storage storage(o.root, log, o.sync);
    ovr::Server server(users, storage, o.bind, *o.port, o.http_port);
    server.StopOnSignals();
    asio::signal_set hangup(server.io(), SIGHUP);
    ovr::OnEverySignal(hangup, [&] { ovr::Reload(users, o.users, log); });
    std::optional<ovr::MetricsEndpoint> metrics;
    if (o.metrics_port)
      metrics.emplace(server.io(), o.metrics_bind, *o.metrics_port,
                      std::filesystem::path(o.root) / ovr::kPrivateFolder / "partial");

    std::printf("ovreceiver ready upload=%u http=%u", server.upload_port(), server.http_port());
    if (metrics) std::printf(" metrics=%u", metrics->port());
    std::printf("\n");
    std::fflush(stdout);
    ::sd_notify(0, "READY=1");  // the service manager starts what waits for us (no-op outside it)
    server.Run(std::max(2u, std::min(4u, std::thread::hardware_concurrency())));
  } catch (const std::system_error& e) {
    Fail(std::string("cannot listen: ") + e.what());
  } catch (const std::exception& e) {
    Fail(e.what());
  }
  return 0;
}
