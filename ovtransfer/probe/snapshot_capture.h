// The still of a snapshot job, as the media helper makes it: one frame of the media file as a
// JPEG file.
#pragma once
#include <windows.h>

#include <string>

namespace probe {

// Stills are at most this many pixels wide and high (larger frames are scaled down in
// proportion), which keeps every JPEG well within what a post accepts.
inline constexpr UINT kMaxStillSide = 1280;

// Writes the frame at position (100 ns units from the start) of the media file as a JPEG
// file at output_path. seconds (may be null) receives the playing time in whole seconds,
// rounded as the probe does. Returns S_OK, or a failure (a file without video among
// them); on failure no file is left at output_path. The caller's thread is in a COM
// apartment.
HRESULT CaptureSnapshot(const std::wstring& media_path, LONGLONG position, const std::wstring& output_path,
                        LONG* seconds);

}  // namespace probe
