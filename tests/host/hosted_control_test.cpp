// The upload control hosted in place as a page hosts it (needs the registered ovtransfer.dll).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "hosted_control.h"
#include "page_host.h"
#include "safety.h"
#include "support/com_apartment.h"

namespace {

const CLSID kControl = {0x33CA74CD, 0xE214, 0x41D1, {0x9E, 0x2D, 0x50, 0x7E, 0x7C, 0x17, 0x07, 0x9E}};

com::UniqueVariant GetProperty(IUnknown* object, const wchar_t* name) {
  com::UniqueVariant result;
  com::ComPtr<IDispatch> dispatch;
  if (FAILED(object->QueryInterface(IID_IDispatch, dispatch.ReceiveVoid()))) return result;
  DISPID id = DISPID_UNKNOWN;
  LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
  DISPPARAMS none = {nullptr, nullptr, 0, 0};
  if (SUCCEEDED(dispatch->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id)))
    dispatch->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYGET, &none, result.Receive(), nullptr,
                     nullptr);
  return result;
}

class Hosted : public ::testing::Test {
 protected:
  testing_support::ComApartment apartment_;
};

TEST_F(Hosted, TheControlIsMarkedSafeForAPage) {
  host::SafetyVerdict v = host::CheckSafety(kControl, nullptr);
  EXPECT_TRUE(v.safe) << std::string(v.reason.begin(), v.reason.end());
}

TEST_F(Hosted, ActivatesInPlaceWithThePageSizeAndParams) {
  host::HostedControl control;
  host::ControlOptions options;
  options.params = {{L"DatabaseGUID", L"{7A4C0D3E-51B2-4F86-9C1A-HOSTTEST0001}"},
                    {L"EnabledRate", L"0"},
                    {L"UploadRate", L"1024"},
                    {L"SnapshotUploadUrl", L"http://127.0.0.1:9/snap"}};
  options.width = 716;
  options.height = 188;
  options.name = L"ovt";
  ASSERT_EQ(control.Start(kControl, options), S_OK) << std::string(control.Error().begin(), control.Error().end());
  ASSERT_NE(control.Unknown(), nullptr);
  HWND window = control.ControlWindow();
  ASSERT_TRUE(IsWindow(window));
  EXPECT_EQ(GetAncestor(window, GA_ROOT), control.FrameWindow());
  EXPECT_FALSE(IsWindowVisible(control.FrameWindow()));  // hidden for tests
  RECT rect = {};
  GetClientRect(window, &rect);
  EXPECT_EQ(rect.right - rect.left, 716);
  EXPECT_EQ(rect.bottom - rect.top, 188);

  // The PARAMs reached the properties before the window existed.
  com::UniqueVariant v = GetProperty(control.Unknown(), L"DatabaseGUID");
  ASSERT_EQ(v.Get().vt, VT_BSTR);
  EXPECT_STREQ(v.Get().bstrVal, L"{7A4C0D3E-51B2-4F86-9C1A-HOSTTEST0001}");
  v = GetProperty(control.Unknown(), L"EnabledRate");
  EXPECT_EQ(v.Get().lVal, 0);
  v = GetProperty(control.Unknown(), L"SnapshotUploadUrl");
  ASSERT_EQ(v.Get().vt, VT_BSTR);
  EXPECT_STREQ(v.Get().bstrVal, L"http://127.0.0.1:9/snap");

  // The dialog's task list appears once the window is initialised.
  EXPECT_TRUE(host::PumpMessagesUntil([&] { return GetDlgItem(window, 203) != nullptr; }, 5000));

  // A new ambient colour is offered; the control keeps running.
  control.SetBackColor(RGB(0xF0, 0xF4, 0xF8));
  host::PumpMessagesUntil(nullptr, 100);
  EXPECT_TRUE(IsWindow(window));

  control.Close();
  EXPECT_FALSE(IsWindow(window));
  EXPECT_EQ(control.Unknown(), nullptr);
  control.Close();
}

TEST_F(Hosted, WithoutASizeTheControlTakesItsOwnExtent) {
  host::HostedControl control;
  ASSERT_EQ(control.Start(kControl, {}), S_OK) << std::string(control.Error().begin(), control.Error().end());
  RECT rect = {};
  GetClientRect(control.ControlWindow(), &rect);
  EXPECT_GT(rect.right, 300);  // 358 dialog units wide
  EXPECT_GT(rect.bottom, 100);
}

// A timer procedure has the system's calling convention, which a lambda lacks in 32-bit builds.
void CALLBACK ClosePageFrame(HWND, UINT, UINT_PTR, DWORD) {
  if (HWND frame = FindWindowW(L"OvHostPageFrame", nullptr)) PostMessageW(frame, WM_CLOSE, 0, 0);
}

// The user closing the page's window ends a sleeping script at once, as a closed browser would.
TEST_F(Hosted, ClosingThePageWindowEndsTheScript) {
  UINT_PTR timer = SetTimer(nullptr, 0, 200, ClosePageFrame);
  std::vector<std::wstring> out, err;
  host::PageOptions options;
  options.visible = false;
  options.out = [&](const std::wstring& s) { out.push_back(s); };
  options.err = [&](const std::wstring& s) { err.push_back(s); };
  DWORD start = GetTickCount();
  int code = host::RunPageText(
      L"<object classid=\"clsid:33CA74CD-E214-41D1-9E2D-507E7C17079E\" id=ovt width=400 height=200></object>"
      L"<script>host.echo('waiting'); host.sleep(20000); host.echo('not after the close');</script>",
      L"", L"page.html", options);
  KillTimer(nullptr, timer);
  EXPECT_EQ(code, 0);
  EXPECT_LT(GetTickCount() - start, 10000u);
  EXPECT_EQ(out, std::vector<std::wstring>{L"waiting"});
  ASSERT_FALSE(err.empty());
  EXPECT_NE(err.back().find(L"closed"), std::wstring::npos);
  EXPECT_EQ(FindWindowW(L"OvHostPageFrame", nullptr), nullptr);  // torn down with the page
}

TEST(Pump, ReturnsOnTimeOutOrWhenDone) {
  DWORD start = GetTickCount();
  EXPECT_FALSE(host::PumpMessagesUntil([] { return false; }, 200));
  EXPECT_GE(GetTickCount() - start, 190u);
  int calls = 0;
  EXPECT_TRUE(host::PumpMessagesUntil([&] { return ++calls >= 1; }, 5000));
}

}  // namespace
