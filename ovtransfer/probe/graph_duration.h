// The playing time of a media file as the platform's media framework reads it: the file is
// rendered into a silent, hidden filter graph and paused, and the graph reports its length.
// Shared by the media helper's probe and the media-file information component.
#pragma once
#include <windows.h>

#include <string>

namespace probe {

// duration: in units of 100 ns; left 0 when the graph cannot tell. Returns S_OK, or the
// failure of making the graph or of rendering the file. The caller's thread is in a COM
// apartment.
HRESULT MeasureGraphDuration(const std::wstring& path, LONGLONG* duration);

}  // namespace probe
