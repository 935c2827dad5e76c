#include "media_probe.h"

#include "../com/ptr.h"
#include "../com/result.h"
#include "../com/text.h"
#include "../outside/media_file_info.h"
#include "../outside/ovres.h"
#include "graph_duration.h"

namespace probe {
namespace {

// The component's lookup key is the four 32-bit words 0x62A54909, 0x44E001CD, 0x0668768E,
// 0x1AFE9B2D in memory order.
constexpr DWORD KeyWord(const GUID& key, int i) {
  return i == 0   ? key.Data1
         : i == 1 ? key.Data2 | static_cast<DWORD>(key.Data3) << 16
                  : key.Data4[(i - 2) * 4] | key.Data4[(i - 2) * 4 + 1] << 8 | key.Data4[(i - 2) * 4 + 2] << 16 |
                        static_cast<DWORD>(key.Data4[(i - 2) * 4 + 3]) << 24;
}
static_assert(KeyWord(GUID_KEY_MEDIAINFO, 0) == 0x62A54909 && KeyWord(GUID_KEY_MEDIAINFO, 1) == 0x44E001CD &&
                  KeyWord(GUID_KEY_MEDIAINFO, 2) == 0x0668768E && KeyWord(GUID_KEY_MEDIAINFO, 3) == 0x1AFE9B2D,
              "the media-file information key");

bool IsCsfFile(const std::wstring& path) {
  constexpr std::wstring_view kSuffix = L".csf";
  return path.size() > kSuffix.size() &&
         com::SameText(std::wstring_view(path).substr(path.size() - kSuffix.size()), kSuffix);
}

HRESULT ProbeCsf(const std::wstring& path, LONG* seconds) {
  GUID buffer;
  const CLSID info_class = *OVRES_LoadGuid(&buffer, GUID_KEY_MEDIAINFO);
  com::ComPtr<IMediaFileInfo> info;
  RETURN_IF_FAILED(CoCreateInstance(info_class, nullptr, CLSCTX_INPROC_SERVER, IID_IMediaFileInfo, info.ReceiveVoid()));
  RETURN_IF_FAILED(info->OpenMediaFile(path.c_str(), 0));
  MediaFileInfo record = {};
  RETURN_IF_FAILED(info->GetMediaFileInfo(&record));
  if (seconds) *seconds = static_cast<LONG>((static_cast<LONGLONG>(record.playing_time_ms) + 499) / 1000);
  return S_OK;
}

HRESULT ProbeGraph(const std::wstring& path, LONG* seconds) {
  LONGLONG duration = 0;
  RETURN_IF_FAILED(MeasureGraphDuration(path, &duration));
  if (seconds) *seconds = static_cast<LONG>((duration + 4999999) / 10000000);
  return S_OK;
}

}  // namespace

HRESULT ProbeMediaDuration(const std::wstring& path, LONG* seconds) {
  return IsCsfFile(path) ? ProbeCsf(path, seconds) : ProbeGraph(path, seconds);
}

}  // namespace probe
