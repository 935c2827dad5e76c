#include "support/unix_program.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "ovtransfer/com/unique.h"
#include "support/scratch_folder.h"

namespace testing_support {
namespace {

constexpr DWORD kStartTimeoutMs = 10000;
constexpr DWORD kStopTimeoutMs = 10000;

std::wstring Widen(const std::string& text) { return std::wstring(text.begin(), text.end()); }

// The Unix process id of this program (Wine reads /proc in its own process).
int OwnUnixPid() { return std::atoi(ReadFileBytes(L"Z:\\proc\\self\\stat").c_str()); }

// A process is gone when /proc has no entry for it or only its zombie is left.
bool UnixProcessAlive(int pid) {
  const std::string stat = ReadFileBytes(L"Z:\\proc\\" + std::to_wstring(pid) + L"\\stat");
  const size_t end = stat.rfind(')');
  if (end == std::string::npos || end + 2 >= stat.size()) return false;
  const char state = stat[end + 2];
  return state != 'Z' && state != 'X';
}

// User and system time of a Unix process from /proc/PID/stat, in the kernel's clock ticks
// (100 a second on the machines this runs on).
double UnixCpuSeconds(int pid) {
  const std::string stat = ReadFileBytes(L"Z:\\proc\\" + std::to_wstring(pid) + L"\\stat");
  const size_t end = stat.rfind(')');
  if (end == std::string::npos) return 0;
  std::istringstream fields(stat.substr(end + 1));
  std::string field;
  unsigned long long user = 0, system = 0;
  for (int i = 0; i < 11 && fields >> field; ++i) {}  // state .. cmajflt
  fields >> user >> system;
  return static_cast<double>(user + system) / 100.0;
}

}  // namespace

double OwnCpuSeconds() {
  // Not /proc/self: under Wine the server process opens files, so that would be its own.
  FILETIME created, ended, system, user;
  if (!GetProcessTimes(GetCurrentProcess(), &created, &ended, &system, &user)) return 0;
  auto seconds = [](const FILETIME& t) {
    return static_cast<double>((static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime) / 1e7;
  };
  return seconds(user) + seconds(system);
}

std::wstring WindowsPathOf(const std::string& unix_path) {
  std::wstring path = L"Z:" + Widen(unix_path);
  for (wchar_t& c : path)
    if (c == L'/') c = L'\\';
  return path;
}

std::string UnixPath(const std::wstring& windows_path) {
  using Convert = char*(CDECL*)(const wchar_t*);
  const auto convert = reinterpret_cast<Convert>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
  if (!convert) return {};
  char* path = convert(windows_path.c_str());
  if (!path) return {};
  std::string result = path;
  HeapFree(GetProcessHeap(), 0, path);
  return result;
}

std::string UnixFolder(const std::wstring& windows_folder) {
  std::string folder = UnixPath(windows_folder);
  if (!folder.empty() && folder.back() == '/') folder.pop_back();
  return folder;
}

bool StartUnixProgram(const std::wstring& unix_program, const std::wstring& arguments) {
  const std::wstring program = WindowsPathOf(std::string(unix_program.begin(), unix_program.end()));
  std::wstring command = L"\"" + program + L"\" " + arguments;
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process = {};
  if (!CreateProcessW(program.c_str(), &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
    return false;
  com::UniqueHandle started(process.hProcess), thread(process.hThread);  // the program runs on alone
  return true;
}

bool WatchedProgram::Running() const { return pid_ > 0 && UnixProcessAlive(pid_); }

double WatchedProgram::CpuSeconds() const { return pid_ > 0 ? UnixCpuSeconds(pid_) : 0; }

bool WatchedProgram::Start(const std::string& exec_command, const std::string& output_file,
                           const std::string& pid_file, const std::string& ready_prefix, std::string* ready_line,
                           std::string* error) {
  // The program takes the shell's process id (exec); the watchdog ends it when this test
  // program is gone, and ends itself with the program.
  std::ostringstream script;
  script << "echo $$ > '" << pid_file << "'; "
         << "(while kill -0 " << OwnUnixPid() << " && kill -0 $$; do sleep 1; done; kill -9 $$) "
         << "</dev/null >/dev/null 2>&1 & " << exec_command << " </dev/null >'" << output_file << "' 2>&1";
  if (!StartUnixProgram(L"/bin/sh", L"-c \"" + Widen(script.str()) + L"\"")) {
    *error = "cannot start /bin/sh: error " + std::to_string(GetLastError());
    return false;
  }
  pid_ = 0;
  const std::wstring output_path = WindowsPathOf(output_file), pid_path = WindowsPathOf(pid_file);
  for (const DWORD since = GetTickCount(); GetTickCount() - since < kStartTimeoutMs; Sleep(20)) {
    if (pid_ <= 0) pid_ = std::atoi(ReadFileBytes(pid_path).c_str());
    const std::string text = ReadFileBytes(output_path);
    const size_t ready = text.find(ready_prefix);
    const size_t end = ready == std::string::npos ? ready : text.find('\n', ready);
    if (end != std::string::npos) {
      *ready_line = text.substr(ready, end - ready);
      return true;
    }
    if (pid_ > 0 && !UnixProcessAlive(pid_)) {
      *error = "it ended before it was ready: " + text;
      pid_ = 0;
      return false;
    }
  }
  *error = "no ready line within 10 s: " + ReadFileBytes(output_path);
  Kill();
  return false;
}

bool WatchedProgram::StartListener(const std::string& exec_command, const std::string& folder,
                                   const std::string& name, uint16_t* port, std::string* error) {
  const std::string prefix = name + " ready port=";
  std::string ready;
  if (!Start(exec_command, folder + "/output", folder + "/pid", prefix, &ready, error)) return false;
  unsigned number = 0;
  if (std::sscanf(ready.c_str() + prefix.size(), "%u", &number) != 1 || number == 0 || number > 65535) {
    *error = "unreadable ready line: " + ready;
    return false;
  }
  *port = static_cast<uint16_t>(number);
  return true;
}

void WatchedProgram::Signal(const char* name) {
  if (pid_ <= 0) return;
  if (UnixProcessAlive(pid_)) StartUnixProgram(L"/bin/kill", L"-" + Widen(name) + L" " + std::to_wstring(pid_));
}

bool WatchedProgram::WaitUntilGone(DWORD timeout_ms) const {
  for (const DWORD since = GetTickCount(); GetTickCount() - since < timeout_ms; Sleep(10))
    if (!UnixProcessAlive(pid_)) return true;
  return false;
}

void WatchedProgram::Stop() {
  if (pid_ <= 0) return;
  Signal("TERM");
  if (!WaitUntilGone(kStopTimeoutMs)) {
    Signal("KILL");
    WaitUntilGone(kStopTimeoutMs);
  }
  pid_ = 0;
}

void WatchedProgram::Kill() {
  if (pid_ <= 0) return;
  Signal("KILL");
  WaitUntilGone(kStopTimeoutMs);
  pid_ = 0;
}

}  // namespace testing_support
