// The native receiver (ovreceiver) run by a Windows test program under Wine: started with a
// fresh root and users file, stopped, killed and started again on the same root and port.
//
// Wine's CreateProcessW starts a Unix executable given by its Z: path, but hands it neither
// the standard handles nor a process handle. So the receiver is started through /bin/sh,
// which records its Unix process id and sends its output to a file; it is ended with
// /bin/kill. A watchdog ends it should the test program die first.
#pragma once
#include <winsock2.h>
#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "support/scratch_folder.h"

namespace testing_support {

class ReceiverProcess {
 public:
  struct Received {  // one line of the receiver's log of completed files
    std::string user;
    uint64_t size = 0;
    std::string checksum;
    std::string path;
  };

  // users: lines "user:password".
  explicit ReceiverProcess(std::vector<std::string> users = {"alice:secret"});
  ~ReceiverProcess();  // stops a running receiver
  ReceiverProcess(const ReceiverProcess&) = delete;
  ReceiverProcess& operator=(const ReceiverProcess&) = delete;

  // Starts it and waits for its ready line; the first start picks a free port, later ones
  // use the same. False (see Error) when it does not come up within ten seconds.
  bool Start();
  // Ends it gracefully (SIGTERM) and waits until it is gone.
  void Stop();
  // Ends it at once (SIGKILL), as a crash would, and waits until it is gone.
  void Kill();
  bool Restart() { Stop(); return Start(); }
  bool Running() const;

  uint16_t Port() const { return port_; }
  uint16_t HttpPort() const { return http_port_; }
  // The address to give the engine: 127.0.0.1 and the upload port, network byte order.
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
  void Signal(const char* name);
  bool WaitUntilGone(DWORD timeout_ms) const;

  ScratchFolder scratch_;
  std::wstring root_;
  std::string unix_scratch_;
  int pid_ = 0;
  int runs_ = 0;
  uint16_t port_ = 0, http_port_ = 0;
  std::string error_;
};

// The Unix path of a Windows path (Wine's mapping), or "" outside Wine.
std::string UnixPath(const std::wstring& windows_path);
// Starts a Unix program with a command line; Wine gives no handle to wait on.
bool StartUnixProgram(const std::wstring& unix_program, const std::wstring& arguments);

}  // namespace testing_support
