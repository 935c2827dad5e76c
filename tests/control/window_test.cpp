// The control's window as a container shows it: dialog 104, its initialisation, the two
// limit lists, the layout and the life cycle of the window.
#include <gtest/gtest.h>

#include <iterator>
#include <vector>

#include "host/property_bag.h"
#include "ovtransfer/com/object.h"
#include "ovtransfer/control/host_resolution.h"
#include "ovtransfer/com/registry.h"
#include "ovtransfer/control/settings.h"
#include "ovtransfer/ui/resource_ids.h"
#include "support/hosted_test_control.h"

namespace {

using testing_support::HostedTestControl;

std::wstring Text(HWND window) {
  wchar_t text[64] = {};
  GetWindowTextW(window, text, 64);
  return text;
}

// Shown by the control itself; the test's container window stays hidden.
bool Shown(HWND window) { return GetWindowLongW(window, GWL_STYLE) & WS_VISIBLE; }

std::wstring ComboText(HWND combo, int index) {
  wchar_t text[64] = {};
  SendMessageW(combo, CB_GETLBTEXT, index, reinterpret_cast<LPARAM>(text));
  return text;
}

std::wstring Selected(HWND combo) {
  return ComboText(combo, static_cast<int>(SendMessageW(combo, CB_GETCURSEL, 0, 0)));
}

// The items of dialog 104 as its template holds them: id and style, in order.
struct TemplateItem {
  DWORD id;
  DWORD style;
};

std::vector<TemplateItem> DialogItems(HMODULE module) {
  HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(IDD_OVTRANSFER), RT_DIALOG);
  if (!found) return {};
  const BYTE* bytes = static_cast<const BYTE*>(LockResource(LoadResource(module, found)));
  const auto word = [&](size_t at) { return *reinterpret_cast<const WORD*>(bytes + at); };
  const auto dword = [&](size_t at) { return *reinterpret_cast<const DWORD*>(bytes + at); };
  // An ordinal is FFFF and a word; a string runs to its terminator.
  const auto skip_name = [&](size_t at) {
    if (word(at) == 0xFFFF) return at + 4;
    while (word(at) != 0) at += 2;
    return at + 2;
  };
  if (word(0) != 1 || word(2) != 0xFFFF) return {};  // DLGTEMPLATEEX
  const DWORD style = dword(12);
  const WORD count = word(16);
  size_t at = skip_name(skip_name(skip_name(26)));  // menu, class, caption
  if (style & (DS_SETFONT | DS_SHELLFONT)) at = skip_name(at + 6);
  std::vector<TemplateItem> items;
  for (WORD i = 0; i < count; ++i) {
    at = (at + 3) & ~static_cast<size_t>(3);
    items.push_back({dword(at + 20), dword(at + 8)});
    at = skip_name(skip_name(at + 24));  // class, text
    at += 2 + word(at);                  // creation data
  }
  return items;
}

// The dialog template, the menu and the engines' messages are known by these numbers outside
// this code (resource tools, spy logs, engines built elsewhere); every other test uses the names.
TEST(ResourceIds, KeepTheirNumbers) {
  EXPECT_EQ(IDD_OVTRANSFER, 104);
  EXPECT_EQ(IDR_TASK_MENU, 201);
  const int list_and_limits[] = {IDC_TASK_LIST, IDC_COUNT_COMBO, IDC_RATE_COMBO, IDC_COUNT_LABEL, IDC_RATE_LABEL};
  EXPECT_EQ(std::vector<int>(std::begin(list_and_limits), std::end(list_and_limits)),
            (std::vector<int>{203, 207, 208, 209, 210}));
  const int commands[] = {ID_TASK_DELETE,          ID_TASK_UP,        ID_TASK_DOWN,
                          ID_TASK_PAUSE,           ID_TASK_START,     ID_TASK_DELETE_FAILED,
                          ID_TASK_DELETE_FINISHED, ID_TASK_SELECT_ALL};
  EXPECT_EQ(std::vector<int>(std::begin(commands), std::end(commands)),
            (std::vector<int>{32770, 32771, 32772, 32775, 32776, 32777, 32778, 32779}));
  EXPECT_EQ(WM_TRANSFER_NOTIFY, 1124u);
  EXPECT_EQ(WM_HOSTNAME_RESOLVED, 1154u);
  EXPECT_EQ(snapshot::WM_JOB_REPORT, 1164u);
}

TEST(DialogTemplate, TheRateListAndItsLabelStartHidden) {
  const std::vector<TemplateItem> items = DialogItems(GetModuleHandleW(nullptr));
  const DWORD ids[] = {IDC_TASK_LIST, ID_TASK_START,   ID_TASK_PAUSE,  ID_TASK_DELETE,  ID_TASK_UP,
                       ID_TASK_DOWN,  IDC_COUNT_COMBO, IDC_RATE_COMBO, IDC_COUNT_LABEL, IDC_RATE_LABEL};
  ASSERT_EQ(items.size(), std::size(ids));
  for (size_t i = 0; i < items.size(); ++i) {
    EXPECT_EQ(items[i].id, ids[i]);
    if (ids[i] != IDC_RATE_COMBO && ids[i] != IDC_RATE_LABEL) EXPECT_TRUE(items[i].style & WS_VISIBLE) << ids[i];
  }
  EXPECT_EQ(items[7].style, static_cast<DWORD>(WS_CHILD | WS_VSCROLL | WS_TABSTOP | CBS_DROPDOWNLIST));
  EXPECT_EQ(items[9].style, static_cast<DWORD>(WS_CHILD | WS_GROUP | SS_LEFT));
}

class ControlWindow : public ::testing::Test {
 protected:
  void SetUp() override { com::DeleteTree(HKEY_CURRENT_USER, settings::kSettingsKey); }
  void TearDown() override { com::DeleteTree(HKEY_CURRENT_USER, settings::kSettingsKey); }
};

TEST_F(ControlWindow, ActivationBuildsTheDialogAndRunsItsInitialisation) {
  HostedTestControl control;
  ASSERT_TRUE(control.Active());
  HWND window = control.Host().ControlWindow();
  ASSERT_NE(window, nullptr);
  EXPECT_EQ(window, control.Object().Window());
  EXPECT_EQ(GetParent(window), control.Host().FrameWindow());
  EXPECT_TRUE(GetWindowLongW(window, GWL_STYLE) & WS_CHILD);
  EXPECT_TRUE(GetWindowLongW(window, GWL_EXSTYLE) & WS_EX_CONTROLPARENT);

  const struct {
    int id;
    const wchar_t* text;
    const wchar_t* cls;
  } items[] = {{ID_TASK_START, L"开始", L"Button"},       {ID_TASK_PAUSE, L"暂停", L"Button"},
               {ID_TASK_DELETE, L"删除", L"Button"},      {ID_TASK_UP, L"↑", L"Button"},
               {ID_TASK_DOWN, L"↓", L"Button"},           {IDC_COUNT_LABEL, L"最大任务数:", L"Static"},
               {IDC_RATE_LABEL, L"上传速率:", L"Static"}, {IDC_COUNT_COMBO, L"", L"ComboBox"},
               {IDC_TASK_LIST, L"", L"SysListView32"}};
  for (const auto& item : items) {
    HWND child = GetDlgItem(window, item.id);
    ASSERT_NE(child, nullptr) << item.id;
    wchar_t cls[64];
    GetClassNameW(child, cls, 64);
    EXPECT_EQ(CompareStringOrdinal(cls, -1, item.cls, -1, TRUE), CSTR_EQUAL) << item.id;
    if (*item.text) {
      EXPECT_EQ(Text(child), item.text) << item.id;
    }
  }
  EXPECT_EQ(control.Object().ListWindow(), GetDlgItem(window, IDC_TASK_LIST));
  EXPECT_EQ(control.Object().WindowReady(), 1u);

  // The list's columns and both timers exist.
  HWND header = reinterpret_cast<HWND>(SendMessageW(control.List(), LVM_GETHEADER, 0, 0));
  EXPECT_EQ(SendMessageW(header, HDM_GETITEMCOUNT, 0, 0), 4);
  EXPECT_EQ(SendMessageW(control.List(), LVM_GETEXTENDEDLISTVIEWSTYLE, 0, 0) & 0x23, 0x23);
  EXPECT_TRUE(KillTimer(window, 0));
  EXPECT_TRUE(KillTimer(window, 1));
  EXPECT_FALSE(KillTimer(window, 2));
}

TEST_F(ControlWindow, LimitListsShowTheDefaultsWithoutStoredSettings) {
  HostedTestControl control;
  ASSERT_TRUE(control.Active());
  HWND count = GetDlgItem(control.Host().ControlWindow(), IDC_COUNT_COMBO);
  HWND rate = GetDlgItem(control.Host().ControlWindow(), IDC_RATE_COMBO);
  EXPECT_EQ(SendMessageW(count, CB_GETCOUNT, 0, 0), 6);
  EXPECT_EQ(SendMessageW(rate, CB_GETCOUNT, 0, 0), 10);
  EXPECT_EQ(ComboText(rate, 9), L"无限制");
  EXPECT_EQ(Selected(count), L"4");
  EXPECT_EQ(Selected(rate), L"2M bps");
  EXPECT_TRUE(Shown(rate));
}

TEST_F(ControlWindow, StoredValuesAreReadAndCorrectedButNotRewritten) {
  settings::WriteDword(settings::kMaxTaskCount, 3);
  settings::WriteDword(settings::kMaxUploadRate, 400);
  HostedTestControl control;
  ASSERT_TRUE(control.Active());
  HWND window = control.Host().ControlWindow();
  EXPECT_EQ(Selected(GetDlgItem(window, IDC_COUNT_COMBO)), L"4");
  EXPECT_EQ(control.Object().MaxTaskCount(), 4);
  EXPECT_EQ(Selected(GetDlgItem(window, IDC_RATE_COMBO)), L"400K bps");
  DWORD stored = 0;
  ASSERT_TRUE(settings::ReadDword(settings::kMaxTaskCount, &stored));
  EXPECT_EQ(stored, 3u) << "kept until the user picks an entry";

  // Picking an entry stores it.
  control.Choose(IDC_RATE_COMBO, 9);
  ULONG value = 1;
  control.Script()->get_UploadRate(&value);
  EXPECT_EQ(value, 0u);
  ASSERT_TRUE(settings::ReadDword(settings::kMaxUploadRate, &stored));
  EXPECT_EQ(stored, 0u);
  control.Choose(IDC_COUNT_COMBO, 5);
  EXPECT_EQ(control.Object().MaxTaskCount(), 10);
  ASSERT_TRUE(settings::ReadDword(settings::kMaxTaskCount, &stored));
  EXPECT_EQ(stored, 10u);
}

TEST_F(ControlWindow, ParamsSetThePropertiesBeforeTheWindowExists) {
  settings::WriteDword(settings::kMaxUploadRate, 8192);
  HostedTestControl control({{L"EnabledRate", L"0"},
                             {L"UploadRate", L"600"},
                             {L"DatabaseGUID", L"{PAGE-DB}"},
                             {L"SnapshotUploadUrl", L"http://127.0.0.1/s"}});
  ASSERT_TRUE(control.Active());
  ULONG rate = 0;
  control.Script()->get_UploadRate(&rate);
  EXPECT_EQ(rate, 600u) << "the stored rate is not read while the rate is not offered";
  EXPECT_FALSE(Shown(GetDlgItem(control.Host().ControlWindow(), IDC_RATE_COMBO)));
  EXPECT_FALSE(Shown(GetDlgItem(control.Host().ControlWindow(), IDC_RATE_LABEL)));
  com::Bstr guid;
  control.Script()->get_DatabaseGUID(guid.Receive());
  EXPECT_EQ(guid.Str(), L"{PAGE-DB}");
}

TEST(PropertyBag, SaveAndLoadRoundTripThePropertyListInOrder) {
  testing_support::ComApartment apartment;
  com::ComPtr<IOvTransferControl> control;
  ASSERT_EQ(com::CreateInstance<COvTransferControl>(nullptr, IID_IOvTransferControl, control.ReceiveVoid()), S_OK);
  control->put_DatabaseGUID(com::Bstr(L"{DB-7}").Get());
  control->put_EnabledRate(0);
  control->put_UploadRate(600);
  control->put_SnapshotUploadUrl(com::Bstr(L"http://h/s?x=1").Get());
  com::ComPtr<IPropertyBag> bag;
  ASSERT_EQ(host::CPropertyBag::Create({}, bag.Receive()), S_OK);
  com::ComPtr<IPersistPropertyBag> persist;
  control.As(&persist, IID_IPersistPropertyBag);
  ASSERT_EQ(persist->Save(bag.Get(), TRUE, TRUE), S_OK);
  const auto& written = static_cast<host::CPropertyBag*>(bag.Get())->Params();
  ASSERT_EQ(written.size(), 6u);
  const wchar_t* order[] = {L"_cx", L"_cy", L"DatabaseGUID", L"EnabledRate", L"UploadRate", L"SnapshotUploadUrl"};
  for (size_t i = 0; i < 6; ++i) EXPECT_EQ(written[i].name, order[i]);

  com::ComPtr<IOvTransferControl> copy;
  ASSERT_EQ(com::CreateInstance<COvTransferControl>(nullptr, IID_IOvTransferControl, copy.ReceiveVoid()), S_OK);
  copy.As(&persist, IID_IPersistPropertyBag);
  ASSERT_EQ(persist->Load(bag.Get(), nullptr), S_OK);
  com::Bstr guid, url;
  LONG enabled = 1;
  ULONG rate = 0;
  copy->get_DatabaseGUID(guid.Receive());
  copy->get_SnapshotUploadUrl(url.Receive());
  copy->get_EnabledRate(&enabled);
  copy->get_UploadRate(&rate);
  EXPECT_EQ(guid.Str(), L"{DB-7}");
  EXPECT_EQ(url.Str(), L"http://h/s?x=1");
  EXPECT_EQ(enabled, 0);
  EXPECT_EQ(rate, 600u);
}

TEST_F(ControlWindow, LayoutFollowsTheWidth) {
  HostedTestControl control;
  ASSERT_TRUE(control.Active());
  HWND window = control.Host().ControlWindow();
  SendMessageW(window, WM_SIZE, 0, MAKELPARAM(300, 90));
  EXPECT_FALSE(Shown(GetDlgItem(window, ID_TASK_START)));
  RECT list;
  GetWindowRect(control.List(), &list);
  EXPECT_EQ(list.right - list.left, 300);

  SendMessageW(window, WM_SIZE, 0, MAKELPARAM(700, 120));
  EXPECT_TRUE(Shown(GetDlgItem(window, ID_TASK_START)));
  GetWindowRect(control.List(), &list);
  EXPECT_EQ(list.right - list.left, 700 - 165);
  const LRESULT others = SendMessageW(control.List(), LVM_GETCOLUMNWIDTH, 0, 0) +
                         SendMessageW(control.List(), LVM_GETCOLUMNWIDTH, 2, 0) +
                         SendMessageW(control.List(), LVM_GETCOLUMNWIDTH, 3, 0);
  EXPECT_EQ(SendMessageW(control.List(), LVM_GETCOLUMNWIDTH, 1, 0), 700 - 165 - others - 25);
  RECT start;
  GetWindowRect(GetDlgItem(window, ID_TASK_START), &start);
  MapWindowPoints(nullptr, window, reinterpret_cast<POINT*>(&start), 2);
  EXPECT_EQ(start.left, 700 - 130);
  EXPECT_EQ(start.right - start.left, 40);

  SendMessageW(window, WM_SIZE, 0, MAKELPARAM(400, 120));
  EXPECT_EQ(SendMessageW(control.List(), LVM_GETCOLUMNWIDTH, 1, 0), 50) << "no room left: the floor";
}

TEST_F(ControlWindow, AmbientBackgroundChangeRepaintsInTheNewColour) {
  HostedTestControl control;
  ASSERT_TRUE(control.Active());
  control.Host().SetBackColor(RGB(10, 20, 30));
  EXPECT_EQ(control.Object().BackColor(), RGB(10, 20, 30));
}

TEST_F(ControlWindow, AWindowMadeAgainRunsItsInitialisationAgain) {
  HostedTestControl control;
  ASSERT_TRUE(control.Active());
  com::ComPtr<IOleInPlaceObject> in_place;
  com::ComPtr<IOleObject> object;
  control.Host().Unknown()->QueryInterface(IID_IOleInPlaceObject, in_place.ReceiveVoid());
  control.Host().Unknown()->QueryInterface(IID_IOleObject, object.ReceiveVoid());
  ASSERT_EQ(in_place->InPlaceDeactivate(), S_OK);
  EXPECT_EQ(control.Object().Window(), nullptr);
  EXPECT_EQ(control.Object().WindowReady(), 1u) << "never cleared";

  com::ComPtr<IOleClientSite> site;
  object->GetClientSite(site.Receive());
  ASSERT_EQ(object->DoVerb(OLEIVERB_INPLACEACTIVATE, nullptr, site.Get(), 0, control.Host().FrameWindow(), nullptr),
            S_OK);
  HWND window = control.Object().Window();
  ASSERT_NE(window, nullptr);
  EXPECT_EQ(SendMessageW(GetDlgItem(window, IDC_COUNT_COMBO), CB_GETCOUNT, 0, 0), 6) << "filled once, not twice";
  EXPECT_TRUE(KillTimer(window, 0));
}

}  // namespace
