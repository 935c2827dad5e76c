// A relay on loopback between the engine and a receiver (tls_relay.py), recording every byte
// the client sent as the relay could read it: passed through untouched, or with TLS ended by
// the relay itself with a certificate of its own choosing.
#pragma once
#include <winsock2.h>
#include <windows.h>

#include <cstdint>
#include <string>

#include "support/scratch_folder.h"
#include "support/unix_program.h"

namespace testing_support {

class RelayProcess {
 public:
  // To target_port on 127.0.0.1. With certificate (a file of the test authority, such as
  // L"rogue") the relay ends TLS with it, and talks to the target over TLS when
  // tls_upstream, else in clear.
  explicit RelayProcess(uint16_t target_port, const std::wstring& certificate = L"", bool tls_upstream = false);
  ~RelayProcess() { program_.Stop(); }

  bool Start();
  uint16_t Port() const { return port_; }
  SOCKADDR_IN Address() const;
  // What the client sent, as far as the relay could read it.
  std::string Recorded() const;
  // The relay's own notes: its failed handshakes.
  std::string Events() const;
  const std::string& Error() const { return error_; }

 private:
  ScratchFolder scratch_;
  std::string unix_scratch_;
  uint16_t target_port_;
  std::wstring certificate_;
  bool tls_upstream_;
  WatchedProgram program_;
  uint16_t port_ = 0;
  std::string error_;
};

}  // namespace testing_support
