// ovreceiver: accepts uploads from the transfer engine and the control's duration and
// still posts. See docs/receiver.md.
#include <sys/resource.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>
#include <thread>

#include "paths.h"
#include "protocol.h"
#include "server.h"

namespace {

const char kUsage[] =
    "usage: ovreceiver --root DIR --users FILE [--port N] [--bind ADDR] [--http-port N]\n"
    "                  [--log FILE] [--sync] (--tls-cert FILE --tls-key FILE [--http-plain] | --plain)\n"
    "  --root DIR       folder that receives the uploads (made if missing)\n"
    "  --users FILE     lines user:password\n"
    "  --port N         upload port (default 8852, 0 picks a free one)\n"
    "  --bind ADDR      address to listen on (default 0.0.0.0)\n"
    "  --http-port N    serve duration and still posts (0 picks a free port; off if absent)\n"
    "  --log FILE       completed-files log (default ROOT/.ovreceiver/received.log)\n"
    "  --sync           flush each file to disk before moving it into place\n"
    "  --tls-cert FILE  PEM certificate chain for TLS on both ports (the server's first)\n"
    "  --tls-key FILE   its PEM private key\n"
    "  --http-plain     serve the HTTP endpoint in clear (uploads stay TLS)\n"
    "  --plain          no TLS at all: passwords and files cross the network readable\n";

struct Options {
  std::string root, users, bind = "0.0.0.0", log, tls_cert, tls_key;
  uint16_t port = 8852;
  std::optional<uint16_t> http_port;
  bool sync = false;
  bool plain = false, http_plain = false;
};

[[noreturn]] void Fail(const std::string& message) {
  std::cerr << "ovreceiver: " << message << '\n';
  std::exit(2);
}

uint16_t Port(const std::string& text) {
  uint64_t v = 0;
  if (!ovr::ParseU64(text, v) || v > 65535) Fail("bad port number: " + text);
  return static_cast<uint16_t>(v);
}

Options Parse(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::cout << kUsage;
      std::exit(0);
    }
    if (arg == "--sync" || arg == "--plain" || arg == "--http-plain") {
      (arg == "--sync" ? o.sync : arg == "--plain" ? o.plain : o.http_plain) = true;
      continue;
    }
    if (i + 1 >= argc) Fail("missing value after " + arg + "\n" + kUsage);
    std::string value = argv[++i];
    if (arg == "--root") o.root = value;
    else if (arg == "--users") o.users = value;
    else if (arg == "--port") o.port = Port(value);
    else if (arg == "--bind") o.bind = value;
    else if (arg == "--http-port") o.http_port = Port(value);
    else if (arg == "--log") o.log = value;
    else if (arg == "--tls-cert") o.tls_cert = value;
    else if (arg == "--tls-key") o.tls_key = value;
    else Fail("unknown option " + arg + "\n" + kUsage);
  }
  if (o.root.empty() || o.users.empty()) Fail(std::string("--root and --users are required\n") + kUsage);
  if (o.plain && (!o.tls_cert.empty() || !o.tls_key.empty() || o.http_plain))
    Fail(std::string("--plain goes without --tls-cert, --tls-key and --http-plain\n") + kUsage);
  if (!o.plain && (o.tls_cert.empty() || o.tls_key.empty()))
    Fail(std::string("TLS needs --tls-cert and --tls-key (or --plain, for a trusted network only)\n") + kUsage);
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
  Options o = Parse(argc, argv);
  RaiseDescriptorLimit();
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
    ovr::Storage storage(o.root, log, o.sync);
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
    ovr::Server server(users, storage, o.bind, o.port, o.http_port, tls);
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
