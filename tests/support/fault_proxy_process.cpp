#include "support/fault_proxy_process.h"

#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace testing_support {

FaultProxy::FaultProxy(uint16_t target_port, const Faults& faults) : target_port_(target_port), faults_(faults) {
  unix_scratch_ = UnixPath(scratch_.Path());
  if (!unix_scratch_.empty() && unix_scratch_.back() == '/') unix_scratch_.pop_back();
}

bool FaultProxy::Start() {
  error_.clear();
  std::ostringstream command;
  command << "exec python3 '" OV_FAULT_PROXY "' " << target_port_ << " '" << unix_scratch_ << "'";
  if (faults_.cut_every) command << " --cut-every " << faults_.cut_every;
  if (faults_.stall_at) command << " --stall-at " << faults_.stall_at << " " << faults_.stall_seconds;
  if (faults_.refuse_seconds > 0) command << " --refuse " << faults_.refuse_seconds;
  if (faults_.vanish_at) command << " --vanish-at " << faults_.vanish_at << " " << faults_.vanish_hold_seconds;
  command << " --lifetime " << faults_.lifetime_seconds;
  std::string ready;
  if (!program_.Start(command.str(), unix_scratch_ + "/output", unix_scratch_ + "/pid", "proxy ready port=", &ready,
                      &error_))
    return false;
  unsigned port = 0;
  if (std::sscanf(ready.c_str(), "proxy ready port=%u", &port) != 1) {
    error_ = "unreadable ready line: " + ready;
    return false;
  }
  port_ = static_cast<uint16_t>(port);
  return true;
}

SOCKADDR_IN FaultProxy::Address() const {
  SOCKADDR_IN address = {};
  address.sin_family = AF_INET;
  address.sin_port = htons(port_);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

void FaultProxy::CutNow() { scratch_.WriteFile(L"cut", ""); }

std::vector<std::string> FaultProxy::Events() const {
  std::vector<std::string> lines;
  std::istringstream text(ReadFileBytes(scratch_.Path() + L"\\events"));
  for (std::string line; std::getline(text, line);) lines.push_back(line);
  return lines;
}

int FaultProxy::Ended(const std::string& reason) const {
  int count = 0;
  for (const std::string& line : Events())
    if (line.rfind("closed ", 0) == 0 && line.find(" reason=" + reason) != std::string::npos) ++count;
  return count;
}

uint64_t FaultProxy::Forwarded() const {
  uint64_t sum = 0;
  for (const std::string& line : Events()) {
    const size_t at = line.find("forwarded=");
    if (line.rfind("closed ", 0) == 0 && at != std::string::npos)
      sum += std::strtoull(line.c_str() + at + 10, nullptr, 10);
  }
  return sum;
}

bool FaultProxy::Refused() const {
  for (const std::string& line : Events())
    if (line.rfind("refusing", 0) == 0) return true;
  return false;
}

}  // namespace testing_support
