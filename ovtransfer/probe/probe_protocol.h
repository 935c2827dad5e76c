// The media helper ovprobe.exe and what passes between it and the control's snapshot and
// duration jobs. The helper opens a user's media file with the platform's media framework
// (or the ".csf" component) in a process of its own, so a file that crashes or hangs the
// framework ends only the helper, never the page's browser.
//
// Request, as the helper's command line:
//   ovprobe.exe duration <media path>
//   ovprobe.exe still <media path> <still path>
// Answer, the whole of the helper's standard output, one of:
//   "ok <seconds>\n"     exit code 0: the playing time in whole seconds (the still is written)
//   "fail <status>\n"    exit code 1: the failing status, eight lower-case hex digits
// Anything else, a longer answer or another exit code is a failure of the helper itself.
#pragma once
#include <windows.h>

#include <string>

namespace probe {

inline constexpr wchar_t kHelperName[] = L"ovprobe.exe";
inline constexpr wchar_t kDurationRequest[] = L"duration";
inline constexpr wchar_t kStillRequest[] = L"still";

inline constexpr DWORD kAnswerExitOk = 0;
inline constexpr DWORD kAnswerExitFailed = 1;
// The longest answer there is ("fail 80004005\n", "ok -2147483648\n") fits with room to spare.
inline constexpr size_t kMaxAnswerBytes = 32;

// The answer for a result: S_OK gives "ok", anything else "fail" with a failing status
// (a status that is not a failure becomes E_FAIL).
std::string FormatAnswer(HRESULT status, LONG seconds);
// Reads an answer exactly as FormatAnswer writes it; false for anything else. status gets
// S_OK or the failing status, seconds the playing time of an "ok".
bool ParseAnswer(const std::string& answer, HRESULT* status, LONG* seconds);

}  // namespace probe
