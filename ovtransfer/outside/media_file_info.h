// The outside media-file information component for ".csf" files.
#pragma once
#include <windows.h>
#include <unknwn.h>

#include <cstddef>

inline constexpr IID IID_IMediaFileInfo = {0x0CE09117, 0x6B28, 0x4CB4, {0x99, 0x17, 0x03, 0x83, 0xE4, 0x88, 0x71, 0x93}};

// 112 bytes; the program reads only the playing time. The rest belongs to the component.
struct MediaFileInfo {
  BYTE reserved_head[64];
  LONG playing_time_ms;
  BYTE reserved_tail[44];
};
static_assert(sizeof(MediaFileInfo) == 112, "the record is 112 bytes");
static_assert(offsetof(MediaFileInfo, playing_time_ms) == 64, "playing time at byte 64");

struct IMediaFileInfo : IUnknown {
  // 1st: path is a plain wide string; flags is 0.
  virtual HRESULT STDMETHODCALLTYPE OpenMediaFile(const wchar_t* path, DWORD flags) = 0;
  virtual HRESULT STDMETHODCALLTYPE Reserved2() = 0;
  virtual HRESULT STDMETHODCALLTYPE Reserved3() = 0;
  virtual HRESULT STDMETHODCALLTYPE Reserved4() = 0;
  virtual HRESULT STDMETHODCALLTYPE Reserved5() = 0;
  virtual HRESULT STDMETHODCALLTYPE Reserved6() = 0;
  virtual HRESULT STDMETHODCALLTYPE Reserved7() = 0;
  virtual HRESULT STDMETHODCALLTYPE Reserved8() = 0;
  virtual HRESULT STDMETHODCALLTYPE Reserved9() = 0;
  virtual HRESULT STDMETHODCALLTYPE Reserved10() = 0;
  virtual HRESULT STDMETHODCALLTYPE Reserved11() = 0;
  virtual HRESULT STDMETHODCALLTYPE Reserved12() = 0;
  virtual HRESULT STDMETHODCALLTYPE Reserved13() = 0;
  virtual HRESULT STDMETHODCALLTYPE Reserved14() = 0;
  // 15th: fills info.
  virtual HRESULT STDMETHODCALLTYPE GetMediaFileInfo(MediaFileInfo* info) = 0;
};
