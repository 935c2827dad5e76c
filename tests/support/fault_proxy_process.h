// A proxy on loopback between the engine and the receiver that breaks connections on purpose
// (fault_proxy.py): cuts every so many bytes, a stall, refused connections, a connection that
// goes silent and is never closed, and cuts on demand.
#pragma once
#include <winsock2.h>
#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "support/scratch_folder.h"
#include "support/unix_program.h"

namespace testing_support {

class FaultProxy {
 public:
  struct Faults {
    uint64_t cut_every = 0;  // bytes from the client per connection, 0 for no cuts
    uint64_t stall_at = 0;   // bytes from clients in all, 0 for no stall
    double stall_seconds = 0;
    double refuse_seconds = 0;  // after the first cut
    uint64_t vanish_at = 0;     // bytes from clients in all, 0 for none; never closed after
    uint32_t window = 0;        // the receive buffer of client connections, 0 for the kernel's
    double lifetime_seconds = 120;  // the proxy ends itself after this in any case
  };

  FaultProxy(uint16_t target_port, const Faults& faults);
  ~FaultProxy() { program_.Stop(); }

  bool Start();
  SOCKADDR_IN Address() const;
  uint16_t Port() const { return port_; }
  // Cuts every open connection now.
  void CutNow();
  // How many connections ended, and for what reason ("close", "cut", "vanish").
  int Ended(const std::string& reason) const;
  // Bytes forwarded from clients over the connections that ended.
  uint64_t Forwarded() const;
  bool Refused() const;
  const std::string& Error() const { return error_; }

 private:
  std::vector<std::string> Events() const;

  ScratchFolder scratch_;
  std::string unix_scratch_;
  uint16_t target_port_;
  Faults faults_;
  WatchedProgram program_;
  uint16_t port_ = 0;
  std::string error_;
};

}  // namespace testing_support
