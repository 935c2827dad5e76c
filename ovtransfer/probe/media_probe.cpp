#include "media_probe.h"

#include "../com/ptr.h"
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
  constexpr wchar_t kSuffix[] = L".csf";
  constexpr int kSuffixLength = 4;
  return path.size() > kSuffixLength &&
         CompareStringOrdinal(path.c_str() + path.size() - kSuffixLength, kSuffixLength, kSuffix, kSuffixLength,
                              TRUE) == CSTR_EQUAL;
}

HRESULT ProbeCsf(const std::wstring& path, LONG* seconds) {
  GUID buffer;
  const CLSID info_class = *OVRES_LoadGuid(&buffer, GUID_KEY_MEDIAINFO);
  com::ComPtr<IMediaFileInfo> info;
  HRESULT hr = CoCreateInstance(info_class, nullptr, CLSCTX_INPROC_SERVER, IID_IMediaFileInfo, info.ReceiveVoid());
  if (FAILED(hr)) return hr;
  if (FAILED(hr = info->OpenMediaFile(path.c_str(), 0))) return hr;
  MediaFileInfo record = {};
  if (FAILED(hr = info->GetMediaFileInfo(&record))) return hr;
  if (seconds) *seconds = static_cast<LONG>((static_cast<LONGLONG>(record.playing_time_ms) + 499) / 1000);
  return S_OK;
}

HRESULT ProbeGraph(const std::wstring& path, LONG* seconds) {
  LONGLONG duration = 0;
  const HRESULT hr = MeasureGraphDuration(path, &duration);
  if (FAILED(hr)) return hr;
  if (seconds) *seconds = static_cast<LONG>((duration + 4999999) / 10000000);
  return S_OK;
}

}  // namespace

HRESULT ProbeMediaDuration(const std::wstring& path, LONG* seconds) {
  return IsCsfFile(path) ? ProbeCsf(path, seconds) : ProbeGraph(path, seconds);
}

}  // namespace probe
