// The jobs' side of the media helper: a worker starts ovprobe.exe with its request, waits
// for the answer at most a time limit, and ends the helper if it has not answered. Whatever
// becomes of the helper (a crash, a hang, a wrong answer), the worker only sees a failure.
#pragma once
#include <windows.h>

#include <string>

namespace snapshot {

// How long a helper may take before it is ended; a media file that the framework cannot
// finish with in this time counts as one it cannot open.
inline constexpr DWORD kProbeTimeLimitMs = 30000;

struct ProbeHelperSettings {
  // The helper program; empty for ovprobe.exe beside the module that holds this code.
  std::wstring program;
  DWORD time_limit_ms = kProbeTimeLimitMs;
};
// For the whole process; jobs that have already started keep what they read.
void SetProbeHelperSettings(const ProbeHelperSettings& settings);
ProbeHelperSettings CurrentProbeHelperSettings();

// The helper's own failures (the media framework's come back as the helper reports them).
inline const HRESULT kHelperTimedOut = HRESULT_FROM_WIN32(ERROR_TIMEOUT);
inline constexpr HRESULT kHelperAnswerWrong = E_UNEXPECTED;  // garbage, too much, another exit code

// The media file's playing time in whole seconds (seconds may be null). Returns S_OK, the
// status the helper reports, or the helper's own failure.
HRESULT ProbeDurationInHelper(const std::wstring& media_path, LONG* seconds);
// A still of the media file as a JPEG file at still_path, and the playing time. On failure
// no file is left at still_path.
HRESULT CaptureStillInHelper(const std::wstring& media_path, const std::wstring& still_path, LONG* seconds);

}  // namespace snapshot
