// ovprobe.exe: the media helper of the control's snapshot and duration jobs (the request and
// the answer are in probe_protocol.h). It has no window; its one output is the answer.
#include <windows.h>
#include <objbase.h>
#include <shellapi.h>

#include <string>

#include "media_probe.h"
#include "probe_protocol.h"
#include "snapshot_capture.h"

namespace {

// A fault anywhere in the media framework ends the process at once, with the fault's code
// for its exit code: no error report window and no debugger that the job would wait for.
LONG WINAPI EndOnFault(EXCEPTION_POINTERS* fault) {
  TerminateProcess(GetCurrentProcess(), fault->ExceptionRecord->ExceptionCode);
  return EXCEPTION_EXECUTE_HANDLER;
}

HRESULT Serve(int argc, wchar_t** argv, LONG* seconds) {
  const std::wstring request = argc > 1 ? argv[1] : L"";
  if (request == probe::kDurationRequest && argc == 3) return probe::ProbeMediaDuration(argv[2], seconds);
  if (request == probe::kStillRequest && argc == 4) return probe::CaptureSnapshot(argv[2], 0, argv[3], seconds);
  return E_INVALIDARG;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
  SetUnhandledExceptionFilter(EndOnFault);

  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  HRESULT status = E_INVALIDARG;
  LONG seconds = 0;
  if (argv) {
    // Everything of the media framework is released and the apartment left before the
    // answer: a process that leaves them behind faults at its exit.
    const HRESULT apartment = CoInitialize(nullptr);
    status = SUCCEEDED(apartment) ? Serve(argc, argv, &seconds) : apartment;
    if (SUCCEEDED(apartment)) CoUninitialize();
    LocalFree(argv);
  }

  const std::string answer = probe::FormatAnswer(status, seconds);
  DWORD written = 0;
  const BOOL sent = WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), answer.data(), static_cast<DWORD>(answer.size()),
                              &written, nullptr);
  if (!sent || written != answer.size()) return 2;  // no answer: the job counts a failure
  return status == S_OK ? probe::kAnswerExitOk : probe::kAnswerExitFailed;
}
