// The media-file information component: OpenMediaFile measures the file with the platform's
// media framework, which recognises a file by its content, and GetMediaFileInfo hands out
// the playing time in milliseconds. The record's other fields stay zero.
#include <windows.h>

#include <string>

#include "../../ovtransfer/com/object.h"
#include "../../ovtransfer/com/single_class_server.h"
#include "../../ovtransfer/com/result.h"
#include "../../ovtransfer/outside/media_file_info.h"
#include "../../ovtransfer/probe/graph_duration.h"
#include "../ovres/component_classes.h"

namespace {

class CMediaFileInfo final : public com::CComBase, public IMediaFileInfo {
 public:
  explicit CMediaFileInfo(IUnknown* outer) : CComBase(outer) {}

  COM_DELEGATE_IUNKNOWN

  STDMETHODIMP OpenMediaFile(const wchar_t* path, DWORD) override {
    if (!path) return E_POINTER;
    opened_ = false;
    LONGLONG duration = 0;  // 100 ns units
    RETURN_IF_FAILED(probe::MeasureGraphDuration(path, &duration));
    const LONGLONG ms = (duration + 5000) / 10000;
    playing_time_ms_ = ms > MAXLONG ? MAXLONG : static_cast<LONG>(ms);
    opened_ = true;
    return S_OK;
  }
  STDMETHODIMP Reserved2() override { return E_NOTIMPL; }
  STDMETHODIMP Reserved3() override { return E_NOTIMPL; }
  STDMETHODIMP Reserved4() override { return E_NOTIMPL; }
  STDMETHODIMP Reserved5() override { return E_NOTIMPL; }
  STDMETHODIMP Reserved6() override { return E_NOTIMPL; }
  STDMETHODIMP Reserved7() override { return E_NOTIMPL; }
  STDMETHODIMP Reserved8() override { return E_NOTIMPL; }
  STDMETHODIMP Reserved9() override { return E_NOTIMPL; }
  STDMETHODIMP Reserved10() override { return E_NOTIMPL; }
  STDMETHODIMP Reserved11() override { return E_NOTIMPL; }
  STDMETHODIMP Reserved12() override { return E_NOTIMPL; }
  STDMETHODIMP Reserved13() override { return E_NOTIMPL; }
  STDMETHODIMP Reserved14() override { return E_NOTIMPL; }
  STDMETHODIMP GetMediaFileInfo(MediaFileInfo* info) override {
    if (!info) return E_POINTER;
    if (!opened_) return E_UNEXPECTED;  // no file measured yet
    *info = {};
    info->playing_time_ms = playing_time_ms_;
    return S_OK;
  }

 protected:
  void* FindInterface(REFIID iid) override {
    static const com::QiEntry<CMediaFileInfo> table[] = {COM_QI(CMediaFileInfo, IMediaFileInfo)};
    return com::FindInTable(this, table, iid);
  }

 private:
  bool opened_ = false;
  LONG playing_time_ms_ = 0;
};

}  // namespace

const com::SingleClassServer g_server(CLSID_OvMediaFileInfo, L"Ov Media File Information",
                                      &com::CreateInstance<CMediaFileInfo>);
