#include "support/fault_proxy_process.h"

#include <cstdlib>
#include <sstream>

#include "support/loopback.h"

namespace testing_support {

FaultProxy::FaultProxy(uint16_t target_port, const Faults& faults) : target_port_(target_port), faults_(faults) {
  unix_scratch_ = UnixFolder(scratch_.Path());
}

bool FaultProxy::Start() {
  error_.clear();
  std::ostringstream command;
  command << "exec python3 '" OV_FAULT_PROXY "' " << target_port_ << " '" << unix_scratch_ << "'";
  if (faults_.cut_every) command << " --cut-every " << faults_.cut_every;
  if (faults_.stall_at) command << " --stall-at " << faults_.stall_at << " " << faults_.stall_seconds;
  if (faults_.refuse_seconds > 0) command << " --refuse " << faults_.refuse_seconds;
  if (faults_.vanish_at) command << " --vanish-at " << faults_.vanish_at;
  if (faults_.window) command << " --window " << faults_.window;
  command << " --lifetime " << faults_.lifetime_seconds;
  return program_.StartListener(command.str(), unix_scratch_, "proxy", &port_, &error_);
}

SOCKADDR_IN FaultProxy::Address() const { return LoopbackAddress(port_); }

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
    if (line.rfind("ended ", 0) == 0 && line.find(" reason=" + reason) != std::string::npos) ++count;
  return count;
}

uint64_t FaultProxy::Forwarded() const {
  uint64_t sum = 0;
  for (const std::string& line : Events()) {
    const size_t at = line.find("forwarded=");
    if (line.rfind("ended ", 0) == 0 && at != std::string::npos)
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
