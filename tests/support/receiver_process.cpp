#include "support/receiver_process.h"

#include <cstdlib>
#include <sstream>

#include "support/loopback.h"
#include "support/trusted_root.h"

namespace testing_support {

std::string ReceiverProcess::ExecutablePath() {
  const char* path = std::getenv("OVRECEIVER");
  return path ? path : "";
}

ReceiverProcess::ReceiverProcess(std::vector<std::string> users, Channel channel)
    : root_(scratch_.MakeFolder(L"root")), channel_(channel) {
  SetUsers(users);
  unix_scratch_ = UnixFolder(scratch_.Path());
}

ReceiverProcess::~ReceiverProcess() { Stop(); }

void ReceiverProcess::SetUsers(const std::vector<std::string>& users) {
  std::string lines;
  for (const std::string& user : users) lines += user + "\n";
  scratch_.WriteFile(L"users.txt", lines);
}

SOCKADDR_IN ReceiverProcess::Address() const { return LoopbackAddress(Port()); }

std::wstring ReceiverProcess::PathOf(const std::wstring& remote) const {
  std::wstring path = root_ + L"\\" + remote;
  for (wchar_t& c : path)
    if (c == L'/') c = L'\\';
  return path;
}

bool ReceiverProcess::Start() {
  error_.clear();
  if (Running()) return true;
  const std::string executable = ExecutablePath();
  if (executable.empty() || GetFileAttributesW(WindowsPathOf(executable).c_str()) == INVALID_FILE_ATTRIBUTES) {
    error_ = "no receiver at OVRECEIVER='" + executable + "': build it first";
    return false;
  }
  if (unix_scratch_.empty()) {
    error_ = "not running under Wine: no Unix paths";
    return false;
  }
  if (channel_ == Channel::kTls && (TestAuthorityFolder().empty() ||
                                    !TrustRootCertificate(AuthorityFile(L"ca.pem"), &error_))) {
    error_ = "the test authority is not at OV_TEST_AUTHORITY: " + error_;
    return false;
  }
  ++runs_;
  const std::string run = std::to_string(runs_);
  std::ostringstream command;
  command << "chmod 600 '" << unix_scratch_ << "/users.txt'; exec '" << executable << "' --root '" << unix_scratch_
          << "/root' --port " << port_ << " --http-port " << http_port_ << " --bind 127.0.0.1 --users '"
          << unix_scratch_ << "/users.txt'";
  if (channel_ == Channel::kTls)
    command << " --tls-cert '" << UnixPath(AuthorityFile(certificate_ + L".pem")) << "' --tls-key '"
            << UnixPath(AuthorityFile(certificate_ + L".key")) << "'";
  else
    command << " --plain";
  std::string ready;
  if (!program_.Start(command.str(), unix_scratch_ + "/output-" + run + ".txt", unix_scratch_ + "/pid-" + run,
                      "ovreceiver ready upload=", &ready, &error_)) {
    error_ = "the receiver did not start: " + error_;
    return false;
  }
  unsigned upload = 0, http = 0;
  if (std::sscanf(ready.c_str(), "ovreceiver ready upload=%u http=%u", &upload, &http) != 2) {
    error_ = "unreadable ready line: " + ready;
    return false;
  }
  port_ = static_cast<uint16_t>(upload);
  http_port_ = static_cast<uint16_t>(http);
  return true;
}

std::vector<ReceiverProcess::Received> ReceiverProcess::ReadLog() const {
  std::vector<Received> entries;
  std::istringstream log(ReadFileBytes(root_ + L"\\.ovreceiver\\received.log"));
  std::string line;
  while (std::getline(log, line)) {
    std::vector<std::string> fields;
    std::istringstream parts(line);
    for (std::string field; std::getline(parts, field, '\t');) fields.push_back(field);
    if (fields.size() != 5 || fields[0] != "FILE") continue;
    Received entry;
    entry.user = fields[1];
    entry.size = std::strtoull(fields[2].c_str(), nullptr, 10);
    entry.checksum = fields[3];
    entry.path = fields[4];
    entries.push_back(entry);
  }
  return entries;
}

}  // namespace testing_support
