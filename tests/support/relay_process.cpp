#include "support/relay_process.h"

#include <cstdio>

#include "support/trusted_root.h"

namespace testing_support {

RelayProcess::RelayProcess(uint16_t target_port, const std::wstring& certificate, bool tls_upstream)
    : target_port_(target_port), certificate_(certificate), tls_upstream_(tls_upstream) {
  unix_scratch_ = UnixPath(scratch_.Path());
  if (!unix_scratch_.empty() && unix_scratch_.back() == '/') unix_scratch_.pop_back();
}

bool RelayProcess::Start() {
  error_.clear();
  std::string command = "exec python3 '" OV_TLS_RELAY "' " + std::to_string(target_port_) + " '" + unix_scratch_ +
                        "/record'";
  if (!certificate_.empty()) {
    const std::string cert = UnixPath(AuthorityFile(certificate_ + L".pem")),
                      key = UnixPath(AuthorityFile(certificate_ + L".key"));
    if (cert.empty() || key.empty()) {
      error_ = "no test authority: OV_TEST_AUTHORITY is not set";
      return false;
    }
    command += " '" + cert + "' '" + key + "'" + (tls_upstream_ ? " tls-upstream" : "");
  }
  std::string ready;
  if (!program_.Start(command, unix_scratch_ + "/output", unix_scratch_ + "/pid", "relay ready port=", &ready,
                      &error_))
    return false;
  unsigned port = 0;
  if (std::sscanf(ready.c_str(), "relay ready port=%u", &port) != 1) {
    error_ = "unreadable ready line: " + ready;
    return false;
  }
  port_ = static_cast<uint16_t>(port);
  return true;
}

SOCKADDR_IN RelayProcess::Address() const {
  SOCKADDR_IN address = {};
  address.sin_family = AF_INET;
  address.sin_port = htons(port_);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

std::string RelayProcess::Recorded() const { return ReadFileBytes(scratch_.Path() + L"\\record"); }
std::string RelayProcess::Events() const { return ReadFileBytes(scratch_.Path() + L"\\record.events"); }

}  // namespace testing_support
