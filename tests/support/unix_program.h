// Native Linux programs run by a Windows test program under Wine (the receiver, relays).
//
// Wine's CreateProcessW starts a Unix executable given by its Z: path, but hands it neither
// the standard handles nor a process handle. So such a program is started through /bin/sh,
// which records its Unix process id and sends its output to a file; it is ended with
// /bin/kill. A watchdog ends it should the test program die first.
#pragma once
#include <windows.h>

#include <cstdint>
#include <string>

namespace testing_support {

// The Unix path of a Windows path (Wine's mapping), or "" outside Wine.
std::string UnixPath(const std::wstring& windows_path);
// The same for a folder, without a trailing slash, so names can be appended with "/".
std::string UnixFolder(const std::wstring& windows_folder);
// The Windows path under which Wine shows a Unix path.
std::wstring WindowsPathOf(const std::string& unix_path);
// Starts a Unix program with a command line; Wine gives no handle to wait on.
bool StartUnixProgram(const std::wstring& unix_program, const std::wstring& arguments);
// Processor seconds (user and system) that this program has used so far, as the system
// counts them: comparable with CpuSeconds of a Unix program.
double OwnCpuSeconds();

class WatchedProgram {
 public:
  ~WatchedProgram() { Stop(); }
  // Runs the shell command exec_command (it must exec the program) with its output in
  // output_file and waits up to ten seconds for an output line starting with ready_prefix;
  // that line goes to *ready_line. pid_file receives the process id. False, with *error,
  // when the program ends or is not ready in time.
  bool Start(const std::string& exec_command, const std::string& output_file, const std::string& pid_file,
             const std::string& ready_prefix, std::string* ready_line, std::string* error);
  // Start for a program that prints "<name> ready port=N" once it listens; output and
  // process id go into folder (a Unix path), *port receives N.
  bool StartListener(const std::string& exec_command, const std::string& folder, const std::string& name,
                     uint16_t* port, std::string* error);
  // SIGTERM and a wait until it is gone (SIGKILL after ten seconds).
  void Stop();
  // SIGKILL, as a crash would, and a wait until it is gone.
  void Kill();
  bool Running() const;
  // Processor seconds (user and system) it has used so far; 0 when it is not running.
  double CpuSeconds() const;

 private:
  void Signal(const char* name);
  bool WaitUntilGone(DWORD timeout_ms) const;
  int pid_ = 0;
};

}  // namespace testing_support
