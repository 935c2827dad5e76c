#include "probe_helper.h"

#include <mutex>
#include <vector>

#include "../com/module_lock.h"
#include "../com/registry.h"
#include "../com/result.h"
#include "../com/unique.h"
#include "../probe/probe_protocol.h"

namespace snapshot {
namespace {

// Room of the pipe: far more than any answer, so a helper never waits to write one.
constexpr DWORD kPipeBytes = 4096;
// How long an ended helper may take to be gone.
constexpr DWORD kEndWaitMs = 5000;
constexpr UINT kEndedAtLimit = 0xDEAD;

std::mutex g_settings_mutex;
ProbeHelperSettings g_settings;

// Helpers are started one at a time: the pipe end of one job is inheritable only while its
// own helper is made, and no other job's helper is made meanwhile.
std::mutex g_start_mutex;

using Handle = com::UniqueHandle;

// One argument as the helper's command-line parser reads it back.
std::wstring QuoteArgument(const std::wstring& argument) {
  if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos) return argument;
  std::wstring quoted = L"\"";
  size_t backslashes = 0;
  for (wchar_t c : argument) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    // Backslashes before a quote are doubled and the quote escaped; others stand as they are.
    quoted.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
    quoted += c;
    backslashes = 0;
  }
  quoted.append(backslashes * 2, L'\\');  // before the closing quote
  return quoted + L"\"";
}

std::wstring HelperProgram(const ProbeHelperSettings& settings) {
  if (!settings.program.empty()) return settings.program;
  std::wstring path = com::ModulePath(com::ThisModule());
  const size_t slash = path.find_last_of(L"\\/");
  if (slash == std::wstring::npos) return std::wstring();
  return path.substr(0, slash + 1) + probe::kHelperName;
}

// Starts the helper suspended, its standard output the pipe's write end and no other handle
// of this process; it runs once it is in the job.
HRESULT StartHelper(const std::wstring& program, std::wstring command_line, HANDLE pipe_write,
                    PROCESS_INFORMATION* process) {
  SIZE_T list_size = 0;
  InitializeProcThreadAttributeList(nullptr, 1, 0, &list_size);
  std::vector<BYTE> list_room(list_size);
  auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(list_room.data());
  RETURN_IF_WIN32_BOOL_FALSE(!list_room.empty() && InitializeProcThreadAttributeList(list, 1, 0, &list_size));
  HRESULT hr = S_OK;
  if (UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, &pipe_write, sizeof(pipe_write), nullptr,
                                nullptr)) {
    STARTUPINFOEXW start = {};
    start.StartupInfo.cb = sizeof(start);
    start.StartupInfo.dwFlags = STARTF_USESTDHANDLES | STARTF_USESHOWWINDOW;
    start.StartupInfo.wShowWindow = SW_HIDE;
    start.StartupInfo.hStdOutput = pipe_write;
    start.lpAttributeList = list;
    std::lock_guard<std::mutex> one_at_a_time(g_start_mutex);
    SetHandleInformation(pipe_write, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    if (!CreateProcessW(program.c_str(), command_line.data(), nullptr, nullptr, TRUE,
                        CREATE_SUSPENDED | CREATE_NO_WINDOW | EXTENDED_STARTUPINFO_PRESENT, nullptr, nullptr,
                        &start.StartupInfo, process))
      hr = com::LastFailure();
    SetHandleInformation(pipe_write, HANDLE_FLAG_INHERIT, 0);
  } else {
    hr = com::LastFailure();
  }
  DeleteProcThreadAttributeList(list);
  return hr;
}

// A job that ends whatever is left of the helper when it is closed. Null where the system
// allows none (a process already in a job on older systems); the time limit still holds.
HANDLE MakeKillingJob(HANDLE process) {
  com::UniqueHandle job(CreateJobObjectW(nullptr, nullptr));
  if (!job) return nullptr;
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
  limits.BasicLimitInformation.LimitFlags =
      JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | JOB_OBJECT_LIMIT_DIE_ON_UNHANDLED_EXCEPTION;
  if (!SetInformationJobObject(job.Get(), JobObjectExtendedLimitInformation, &limits, sizeof(limits)) ||
      !AssignProcessToJobObject(job.Get(), process))
    return nullptr;
  return job.Release();
}

// What the helper left in the pipe, without waiting: it has ended, but a copy of the write
// end may live on elsewhere. False when there is more than an answer.
bool ReadAnswer(HANDLE pipe_read, std::string* answer) {
  DWORD available = 0;
  if (!PeekNamedPipe(pipe_read, nullptr, 0, nullptr, &available, nullptr)) return GetLastError() == ERROR_BROKEN_PIPE;
  if (available > probe::kMaxAnswerBytes) return false;
  answer->resize(available);
  DWORD got = 0;
  while (got < available) {
    DWORD n = 0;
    if (!ReadFile(pipe_read, &(*answer)[got], available - got, &n, nullptr) || n == 0) return false;
    got += n;
  }
  return true;
}

HRESULT RunHelper(const std::vector<std::wstring>& request, LONG* seconds) {
  const ProbeHelperSettings settings = CurrentProbeHelperSettings();
  const std::wstring program = HelperProgram(settings);
  if (program.empty()) return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
  std::wstring command_line = QuoteArgument(program);
  for (const std::wstring& argument : request) command_line += L" " + QuoteArgument(argument);

  Handle pipe_read, pipe_write;
  RETURN_IF_WIN32_BOOL_FALSE(CreatePipe(pipe_read.Receive(), pipe_write.Receive(), nullptr, kPipeBytes));
  PROCESS_INFORMATION process = {};
  RETURN_IF_FAILED(StartHelper(program, command_line, pipe_write.Get(), &process));
  pipe_write.Reset();  // the helper holds the only write end now
  Handle helper(process.hProcess), thread(process.hThread);
  Handle job(MakeKillingJob(helper.Get()));
  ResumeThread(thread.Get());
  thread.Reset();

  if (WaitForSingleObject(helper.Get(), settings.time_limit_ms) != WAIT_OBJECT_0) {
    TerminateProcess(helper.Get(), kEndedAtLimit);
    job.Reset();
    WaitForSingleObject(helper.Get(), kEndWaitMs);
    return kHelperTimedOut;
  }
  DWORD exit_code = 0;
  std::string answer;
  HRESULT status = E_FAIL;
  LONG answered_seconds = 0;
  if (!GetExitCodeProcess(helper.Get(), &exit_code) || !ReadAnswer(pipe_read.Get(), &answer) ||
      !probe::ParseAnswer(answer, &status, &answered_seconds))
    return kHelperAnswerWrong;
  if (status == S_OK ? exit_code != probe::kAnswerExitOk : exit_code != probe::kAnswerExitFailed)
    return kHelperAnswerWrong;
  if (status == S_OK && seconds) *seconds = answered_seconds;
  return status;
}

}  // namespace

void SetProbeHelperSettings(const ProbeHelperSettings& settings) {
  std::lock_guard<std::mutex> lock(g_settings_mutex);
  g_settings = settings;
}

ProbeHelperSettings CurrentProbeHelperSettings() {
  std::lock_guard<std::mutex> lock(g_settings_mutex);
  return g_settings;
}

HRESULT ProbeDurationInHelper(const std::wstring& media_path, LONG* seconds) {
  return RunHelper({probe::kDurationRequest, media_path}, seconds);
}

HRESULT CaptureStillInHelper(const std::wstring& media_path, const std::wstring& still_path, LONG* seconds) {
  const HRESULT hr = RunHelper({probe::kStillRequest, media_path, still_path}, seconds);
  // A helper that ended half-way may have left part of a still.
  if (hr != S_OK) DeleteFileW(still_path.c_str());
  return hr;
}

}  // namespace snapshot
