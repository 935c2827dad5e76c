#include "support/relay_process.h"

#include "support/loopback.h"
#include "support/trusted_root.h"

namespace testing_support {

RelayProcess::RelayProcess(uint16_t target_port, const std::wstring& certificate, bool tls_upstream)
    : target_port_(target_port), certificate_(certificate), tls_upstream_(tls_upstream) {
  unix_scratch_ = UnixFolder(scratch_.Path());
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
  return program_.StartListener(command, unix_scratch_, "relay", &port_, &error_);
}

SOCKADDR_IN RelayProcess::Address() const { return LoopbackAddress(port_); }

std::string RelayProcess::Recorded() const { return ReadFileBytes(scratch_.Path() + L"\\record"); }
std::string RelayProcess::Events() const { return ReadFileBytes(scratch_.Path() + L"\\record.events"); }

}  // namespace testing_support
