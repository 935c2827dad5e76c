// The playing time of a job's media file in whole seconds, as the media helper measures it.
#pragma once
#include <windows.h>

#include <string>

namespace probe {

// ".csf" files are measured by the media-file information component, every other file by
// the platform's media framework. seconds (may be null) receives the playing time rounded
// to the nearest second, an exact half rounding down. Returns S_OK or the failing status.
// The caller's thread is in a COM apartment.
HRESULT ProbeMediaDuration(const std::wstring& path, LONG* seconds);

}  // namespace probe
