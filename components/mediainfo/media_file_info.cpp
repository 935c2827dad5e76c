// The media-file information component: OpenMediaFile measures the file with the platform's
// media framework, which recognises a file by its content, and GetMediaFileInfo hands out
// the playing time in milliseconds. The record's other fields stay zero.
#include <windows.h>

#include <string>

#include "../../ovtransfer/com/factory.h"
#include "../../ovtransfer/com/module_lock.h"
#include "../../ovtransfer/com/object.h"
#include "../../ovtransfer/com/registry.h"
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
    const HRESULT hr = probe::MeasureGraphDuration(path, &duration);
    if (FAILED(hr)) return hr;
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

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD, void*) {
  com::SetThisModule(instance);
  return TRUE;
}

STDAPI DllCanUnloadNow() { return com::ModuleLockCount() == 0 ? S_OK : S_FALSE; }

STDAPI DllGetClassObject(REFCLSID clsid, REFIID iid, void** out) {
  static com::CClassFactory factory(&com::CreateInstance<CMediaFileInfo>);
  return com::GetCachedFactory(factory, CLSID_OvMediaFileInfo, clsid, iid, out);
}

STDAPI DllRegisterServer() {
  return com::RegisterInprocClass(CLSID_OvMediaFileInfo, L"Ov Media File Information", com::ThisModule());
}

STDAPI DllUnregisterServer() { return com::UnregisterInprocClass(CLSID_OvMediaFileInfo); }
