#include "support/hosted_test_control.h"

#include "ovtransfer/com/factory.h"
#include "ovtransfer/com/object.h"

namespace testing_support {
namespace {

com::CClassFactory& Factory() {
  static com::CClassFactory factory(&com::CreateInstance<COvTransferControl>);
  return factory;
}

}  // namespace

HostedTestControl::HostedTestControl(std::vector<host::PageParam> params) {
  // Creation by class id in this apartment reaches this program's own control code.
  CoRegisterClassObject(CLSID_OvTransferControl, &Factory(), CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE,
                        &registration_);
  host::ControlOptions options;
  options.params = std::move(params);
  options.width = 716;
  options.height = 188;
  options.check_safety = false;  // the class is this program's own, registered for this apartment only
  started_ = host_.Start(CLSID_OvTransferControl, options);
  if (started_ == S_OK) host_.Unknown()->QueryInterface(IID_IOvTransferControl, script_.ReceiveVoid());
}

HostedTestControl::~HostedTestControl() {
  script_.Reset();
  host_.Close();
  if (registration_) CoRevokeClassObject(registration_);
}

LONG HostedTestControl::Add(Method method, const wchar_t* title, const wchar_t* address, USHORT port,
                            const std::wstring& primary, const std::wstring& secondary, const wchar_t* remote1,
                            const wchar_t* remote2, ULONG style, LONG initial) {
  com::Bstr t(title), a(address), p(primary), s(secondary), r1(remote1), r2(remote2);
  LONG result = initial;
  switch (method) {
    case kAddItem:
      script_->AddItem(t.Get(), a.Get(), port, p.Get(), s.Get(), r1.Get(), r2.Get(), style, &result);
      break;
    case kAddItem2:
      script_->AddItem2(t.Get(), a.Get(), port, p.Get(), s.Get(), r1.Get(), r2.Get(), style, &result);
      break;
    case kAddItem3:
      script_->AddItem3(t.Get(), a.Get(), port, p.Get(), s.Get(), r1.Get(), r2.Get(), style, &result);
      break;
  }
  return result;
}

std::wstring HostedTestControl::Cell(int row, int column) const {
  wchar_t text[1100] = {};
  LVITEMW item = {};
  item.iSubItem = column;
  item.pszText = text;
  item.cchTextMax = 1100;
  SendMessageW(List(), LVM_GETITEMTEXTW, row, reinterpret_cast<LPARAM>(&item));
  return text;
}

bool HostedTestControl::AllTasksDone() const {
  CTaskQueue& queue = Object().Queue();
  for (size_t i = 0; i < queue.Size(); ++i)
    if (queue.At(i).state != TASK_DONE) return false;
  return queue.Size() > 0;
}

void HostedTestControl::Choose(int combo_id, int index) const {
  HWND window = host_.ControlWindow();
  HWND combo = GetDlgItem(window, combo_id);
  SendMessageW(combo, CB_SETCURSEL, index, 0);
  SendMessageW(window, WM_COMMAND, MAKEWPARAM(combo_id, CBN_SELCHANGE), reinterpret_cast<LPARAM>(combo));
}

DWORD HostedTestControl::RowTaskId(int row) const {
  LVITEMW item = {};
  item.mask = LVIF_PARAM;
  item.iItem = row;
  SendMessageW(List(), LVM_GETITEMW, 0, reinterpret_cast<LPARAM>(&item));
  return static_cast<DWORD>(item.lParam);
}

}  // namespace testing_support
