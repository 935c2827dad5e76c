// ovreceiver: accepts uploads from the transfer engine and the control's duration and
// still posts. See docs/receiver.md.
#include <malloc.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>
#include <thread>

#include "config.h"
#include "paths.h"
#include "protocol.h"
#include "server.h"

namespace {

[[noreturn]] void Fail(const std::string& message) {
  std::cerr << "ovreceiver: " << message << '\n';
  std::exit(2);
}

ovr::Config Parse(int argc, char** argv) {
  ovr::Config config;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::cout << ovr::Usage();
      std::exit(0);
    }
    if (arg.rfind("--", 0) != 0) Fail("unexpected argument " + arg + "\n" + ovr::Usage());
    std::string name = arg.substr(2), value;
    if (!ovr::IsFlag(name)) {
      if (i + 1 >= argc) Fail("missing value after " + arg + "\n" + ovr::Usage());
      value = argv[++i];
    }
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
      if (o.http_plain)
        std::cerr << "ovreceiver: warning: --http-plain: the HTTP endpoint serves in clear\n";
      else
        tls.http = tls.uploads;
    }
    ovr::Server server(users, storage, o.bind, o.port, o.http_port, o.limits, tls);
    server.StopOnSignals();

    std::printf("ovreceiver ready upload=%u http=%u\n", server.upload_port(), server.http_port());
    std::fflush(stdout);
    server.Run(std::max(2u, std::min(4u, std::thread::hardware_concurrency())));
  } catch (const std::system_error& e) {
    Fail(std::string("cannot listen: ") + e.what());
  } catch (const std::exception& e) {
    Fail(e.what());
  }
  return 0;
}
