#include "support/receiver_process.h"

#include <cstdlib>
#include <sstream>

namespace testing_support {
namespace {

constexpr DWORD kStartTimeoutMs = 10000;
constexpr DWORD kStopTimeoutMs = 10000;

std::wstring Widen(const std::string& text) { return std::wstring(text.begin(), text.end()); }

// The Windows path under which Wine shows a Unix path.
std::wstring WindowsPath(const std::string& unix_path) {
  std::wstring path = L"Z:" + Widen(unix_path);
  for (wchar_t& c : path)
    if (c == L'/') c = L'\\';
  return path;
}

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

}  // namespace

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

bool StartUnixProgram(const std::wstring& unix_program, const std::wstring& arguments) {
  const std::wstring program = WindowsPath(std::string(unix_program.begin(), unix_program.end()));
  std::wstring command = L"\"" + program + L"\" " + arguments;
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process = {};
  if (!CreateProcessW(program.c_str(), &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
    return false;
  if (process.hProcess) CloseHandle(process.hProcess);
  if (process.hThread) CloseHandle(process.hThread);
  return true;
}

std::string ReceiverProcess::ExecutablePath() {
  const char* path = std::getenv("OVRECEIVER");
  return path ? path : "";
}

ReceiverProcess::ReceiverProcess(std::vector<std::string> users) : root_(scratch_.MakeFolder(L"root")) {
  std::string lines;
  for (const std::string& user : users) lines += user + "\n";
  scratch_.WriteFile(L"users.txt", lines);
  unix_scratch_ = UnixPath(scratch_.Path());
  if (!unix_scratch_.empty() && unix_scratch_.back() == '/') unix_scratch_.pop_back();
}

ReceiverProcess::~ReceiverProcess() { Stop(); }

SOCKADDR_IN ReceiverProcess::Address() const {
  SOCKADDR_IN address = {};
  address.sin_family = AF_INET;
  address.sin_port = htons(port_);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

std::wstring ReceiverProcess::PathOf(const std::wstring& remote) const {
  std::wstring path = root_ + L"\\" + remote;
  for (wchar_t& c : path)
    if (c == L'/') c = L'\\';
  return path;
}

bool ReceiverProcess::Running() const { return pid_ > 0 && UnixProcessAlive(pid_); }

bool ReceiverProcess::Start() {
  error_.clear();
  if (Running()) return true;
  const std::string executable = ExecutablePath();
  if (executable.empty() || GetFileAttributesW(WindowsPath(executable).c_str()) == INVALID_FILE_ATTRIBUTES) {
    error_ = "no receiver at OVRECEIVER='" + executable + "': build it first";
    return false;
  }
  if (unix_scratch_.empty()) {
    error_ = "not running under Wine: no Unix paths";
    return false;
  }
  ++runs_;
  const std::string run = std::to_string(runs_);
  const std::string output = unix_scratch_ + "/output-" + run + ".txt", pid_file = unix_scratch_ + "/pid-" + run;
  // The receiver takes the shell's process id (exec); the watchdog ends it when this
  // program is gone, and ends itself with the receiver.
  std::ostringstream script;
  script << "echo $$ > '" << pid_file << "'; chmod 600 '" << unix_scratch_ << "/users.txt'; "
         << "(while kill -0 " << OwnUnixPid() << " && kill -0 $$; do sleep 1; done; kill -9 $$) "
         << "</dev/null >/dev/null 2>&1 & "
         << "exec '" << executable << "' --root '" << unix_scratch_ << "/root' --port " << port_ << " --users '"
         << unix_scratch_ << "/users.txt' </dev/null >'" << output << "' 2>&1";
  if (!StartUnixProgram(L"/bin/sh", L"-c \"" + Widen(script.str()) + L"\"")) {
    error_ = "cannot start /bin/sh: error " + std::to_string(GetLastError());
    return false;
  }
  const std::wstring output_path = WindowsPath(output), pid_path = WindowsPath(pid_file);
  for (const DWORD since = GetTickCount(); GetTickCount() - since < kStartTimeoutMs; Sleep(20)) {
    if (pid_ <= 0) pid_ = std::atoi(ReadFileBytes(pid_path).c_str());
    const std::string text = ReadFileBytes(output_path);
    const size_t ready = text.find("ovreceiver ready upload=");
    if (ready != std::string::npos && text.find('\n', ready) != std::string::npos) {
      unsigned upload = 0, http = 0;
      if (std::sscanf(text.c_str() + ready, "ovreceiver ready upload=%u http=%u", &upload, &http) == 2) {
        port_ = static_cast<uint16_t>(upload);
        http_port_ = static_cast<uint16_t>(http);
        return true;
      }
    }
    if (pid_ > 0 && !UnixProcessAlive(pid_)) {
      error_ = "the receiver ended before it was ready: " + text;
      pid_ = 0;
      return false;
    }
  }
  error_ = "no ready line within 10 s: " + ReadFileBytes(output_path);
  Kill();
  return false;
}

void ReceiverProcess::Signal(const char* name) {
  if (pid_ <= 0) return;
  if (UnixProcessAlive(pid_)) StartUnixProgram(L"/bin/kill", L"-" + Widen(name) + L" " + std::to_wstring(pid_));
}

bool ReceiverProcess::WaitUntilGone(DWORD timeout_ms) const {
  for (const DWORD since = GetTickCount(); GetTickCount() - since < timeout_ms; Sleep(10))
    if (!UnixProcessAlive(pid_)) return true;
  return false;
}

void ReceiverProcess::Stop() {
  if (pid_ <= 0) return;
  Signal("TERM");
  if (!WaitUntilGone(kStopTimeoutMs)) {
    Signal("KILL");
    WaitUntilGone(kStopTimeoutMs);
  }
  pid_ = 0;
}

void ReceiverProcess::Kill() {
  if (pid_ <= 0) return;
  Signal("KILL");
  WaitUntilGone(kStopTimeoutMs);
  pid_ = 0;
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
