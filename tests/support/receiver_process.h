// The native receiver (ovreceiver) run by a Windows test program under Wine: started with a
// fresh root and users file, stopped, killed and started again on the same root and port.
// It speaks TLS with the test authority's certificate for localhost and 127.0.0.1 (trusted
// in the prefix when it starts), or in clear when asked.
#pragma once
#include <winsock2.h>
#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "support/scratch_folder.h"
#include "support/unix_program.h"

namespace testing_support {

class ReceiverProcess {
 public:
  struct Received {  // one line of the receiver's log of completed files
    std::string user;
    uint64_t size = 0;
    std::string checksum;
    std::string path;
  };

  enum class Channel { kTls, kPlain };

  // users: lines "user:password".
  explicit ReceiverProcess(std::vector<std::string> users = {"alice:secret"}, Channel channel = Channel::kTls);
  ~ReceiverProcess();  // stops a running receiver
  ReceiverProcess(const ReceiverProcess&) = delete;
  ReceiverProcess& operator=(const ReceiverProcess&) = delete;

  // Replaces the users (lines "user:password"): the next start reads them.
  void SetUsers(const std::vector<std::string>& users);
  // The test authority's certificate and key the next start presents ("server" unless set).
  void SetCertificate(const std::wstring& name) { certificate_ = name; }
  // Starts it and waits for its ready line; the first start picks a free port, later ones
  // use the same. False (see Error) when it does not come up within ten seconds.
  bool Start();
  // Ends it gracefully (SIGTERM) and waits until it is gone.
  void Stop() { program_.Stop(); }
  // Ends it at once (SIGKILL), as a crash would, and waits until it is gone.
  void Kill() { program_.Kill(); }
  bool Restart() { Stop(); return Start(); }
  bool Running() const { return program_.Running(); }
  // Processor seconds it has used since it started.
  double CpuSeconds() const { return program_.CpuSeconds(); }

  uint16_t Port() const { return port_; }
  uint16_t HttpPort() const { return http_port_; }
  // The address to give the engine: 127.0.0.1 and the upload port, network byte order.
  // The HTTP endpoint (HttpPort) speaks TLS too, unless the receiver runs in clear.
  SOCKADDR_IN Address() const;
  // Windows path of the receiver's root and of a remote name below it.
  const std::wstring& Root() const { return root_; }
  std::wstring PathOf(const std::wstring& remote) const;
  std::vector<Received> ReadLog() const;
  // What went wrong last, with the receiver's own output.
  const std::string& Error() const { return error_; }

  // The receiver's Unix path: the OVRECEIVER environment variable.
  static std::string ExecutablePath();

 private:
  ScratchFolder scratch_;
  std::wstring root_;
  std::string unix_scratch_;
  Channel channel_;
  std::wstring certificate_ = L"server";
  WatchedProgram program_;
  int runs_ = 0;
  uint16_t port_ = 0, http_port_ = 0;
  std::string error_;
};

}  // namespace testing_support
