// ovreceiver: accepts uploads from the transfer engine and the control's duration and
// still posts. See docs/receiver.md.
#include <malloc.h>
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

#include "config.h"
#include "config_file.h"
#include "metrics.h"
#include "passwd.h"
#include "paths.h"
#include "reload.h"
#include "server.h"

namespace {

[[noreturn]] void Fail(const std::string& message) {
  std::cerr << "ovreceiver: " << message << '\n';
  std::exit(2);
}

// A key of the configuration file is an option's name; a switch takes true or false.
std::string SetFromFile(ovr::Config& config, const std::string& key, const std::string& value) {
  if (key == "config") return "a configuration file cannot name another";
  if (!ovr::IsFlag(key)) return ovr::SetOption(config, key, value);
  bool on = false;
  if (!ovr::ParseSwitch(value, on)) return "bad value for " + key + " (true or false): " + value;
  return on ? ovr::SetOption(config, key, "") : std::string();
}

ovr::Config Parse(int argc, char** argv) {
  ovr::Config config;
  // The file first, so that the command line overrides it.
  for (int i = 1; i + 1 < argc; ++i)
    if (std::strcmp(argv[i], "--config") == 0) {
      try {
        ovr::ReadConfigFile(argv[i + 1], [&](const std::string& key, const std::string& value) {
          return SetFromFile(config, key, value);
        });
      } catch (const ovr::ConfigError& e) {
        Fail(e.what());
      }
    }
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::cout << ovr::Usage();
      std::exit(0);
    }
    if (arg == "--version") {
      std::cout << "ovreceiver " OVRECEIVER_VERSION "\n";
      std::exit(0);
    }
    if (arg.rfind("--", 0) != 0) Fail("unexpected argument " + arg + "\n" + ovr::Usage());
    std::string name = arg.substr(2), value;
    if (!ovr::IsFlag(name)) {
      if (i + 1 >= argc) Fail("missing value after " + arg + "\n" + ovr::Usage());
      value = argv[++i];
    }
    if (name == "config") continue;  // read above
    std::string error = ovr::SetOption(config, name, value);
    if (!error.empty()) Fail(error + "\n" + ovr::Usage());
  }
  if (config.root.empty() || config.users.empty())
    Fail("--root and --users are required\n" + ovr::Usage());
  if (config.plain && (!config.tls_cert.empty() || !config.tls_key.empty() || config.http_plain))
    Fail("--plain goes without --tls-cert, --tls-key and --http-plain");
  if (!config.plain && (config.tls_cert.empty() || config.tls_key.empty()))
    Fail("TLS needs --tls-cert and --tls-key (or --plain, for a trusted network only)\n" + ovr::Usage());
  return config;
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
  ovr::Config o = Parse(argc, argv);
  RaiseDescriptorLimit();
  // Data buffers of busy sessions are a few hundred KiB each: a fixed threshold keeps them
  // mapped on their own, so that memory goes back to the system when their bytes stop.
  ::mallopt(M_MMAP_THRESHOLD, 128 * 1024);
  try {
    ovr::Users users = ovr::Users::Load(o.users);
    if (users.size() == 0) std::cerr << "ovreceiver: warning: no users in " << o.users << '\n';
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
    ovr::Storage storage(o.root, log, o.sync, o.limits);
    ovr::TlsSettings tls;
    if (o.plain) {
      std::cerr << "ovreceiver: warning: --plain: user names, passwords and files cross the network readable\n";
    } else {
      tls.uploads = ovr::MakeTlsContext(o.tls_cert, o.tls_key);
      std::string warning = ovr::CertificateDateWarning(*tls.uploads, o.tls_cert);
      if (!warning.empty()) std::cerr << "ovreceiver: warning: " << warning << '\n';
      if (o.http_plain)
        std::cerr << "ovreceiver: warning: --http-plain: the HTTP endpoint serves in clear\n";
      else
        tls.http = tls.uploads;
    }
    ovr::Server server(users, storage, o.bind, o.port, o.http_port, o.limits, tls);
    server.StopOnSignals();
    asio::signal_set hangup(server.io(), SIGHUP);
    ovr::OnEverySignal(hangup, [&] {
      ovr::Reload(users, o.users, log);
      if (!o.plain)
        ovr::ReloadCertificate(o.tls_cert, o.tls_key, [&](std::shared_ptr<asio::ssl::context> fresh) {
          server.UseTls({fresh, fresh});  // a port in clear stays so
        });
    });
    std::optional<ovr::MetricsEndpoint> metrics;
    if (o.metrics_port)
      metrics.emplace(server.io(), o.metrics_bind, *o.metrics_port,
                      std::filesystem::path(o.root) / ovr::kPrivateFolder / "partial");

    std::printf("ovreceiver ready upload=%u http=%u", server.upload_port(), server.http_port());
    if (metrics) std::printf(" metrics=%u", metrics->port());
    std::printf("\n");
    std::fflush(stdout);
    ::sd_notify(0, "READY=1");  // the service manager starts what waits for us (no-op outside it)
    ovr::WarnOfPlainPasswords(users, o.users);
    server.Run(std::max(2u, std::min(4u, std::thread::hardware_concurrency())));
  } catch (const std::system_error& e) {
    Fail(std::string("cannot listen: ") + e.what());
  } catch (const std::exception& e) {
    Fail(e.what());
  }
  return 0;
}
