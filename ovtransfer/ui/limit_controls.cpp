// The two limits chosen in the window: how many uploads run at once and how fast they send.
#include <windows.h>

#include "../control/ov_transfer_control.h"
#include "../module/settings.h"
#include "resource_ids.h"

namespace {

struct Choice {
  const wchar_t* text;
  DWORD value;
};

constexpr Choice TASK_COUNT_CHOICES[] = {{L"1", 1}, {L"2", 2}, {L"4", 4}, {L"6", 6}, {L"8", 8}, {L"10", 10}};
constexpr Choice RATE_CHOICES[] = {{L"100K bps", 100}, {L"200K bps", 200}, {L"400K bps", 400}, {L"600K bps", 600},
                                   {L"800K bps", 800}, {L"1M bps", 1024},  {L"2M bps", 2048},  {L"4M bps", 4096},
                                   {L"8M bps", 8192},  {L"无限制", 0}};
constexpr int kDefaultRateIndex = 6;   // "2M bps"
constexpr int kDefaultCountIndex = 2;  // "4"

// Fills a list and selects the entry of value; a value not among the choices becomes the default.
template <size_t N>
DWORD FillChoices(HWND combo, const Choice (&choices)[N], DWORD value, int default_index) {
  int selected = -1;
  for (size_t i = 0; i < N; ++i) {
    SendMessageW(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(choices[i].text));
    if (selected < 0 && choices[i].value == value) selected = static_cast<int>(i);
  }
  if (selected < 0) selected = default_index;
  SendMessageW(combo, CB_SETCURSEL, selected, 0);
  return choices[selected].value;
}

template <size_t N>
bool ChosenValue(HWND combo, const Choice (&choices)[N], DWORD* value) {
  const LRESULT index = SendMessageW(combo, CB_GETCURSEL, 0, 0);
  if (index < 0 || static_cast<size_t>(index) >= N) return false;
  *value = choices[index].value;
  return true;
}

}  // namespace

void COvTransferControl::FillLimitControls() {
  RateCombo_ = GetDlgItem(window_, IDC_RATE_COMBO);
  CountCombo_ = GetDlgItem(window_, IDC_COUNT_COMBO);
  SendMessageW(RateCombo_, CB_RESETCONTENT, 0, 0);
  SendMessageW(CountCombo_, CB_RESETCONTENT, 0, 0);
  UploadRate_ = FillChoices(RateCombo_, RATE_CHOICES, UploadRate_, kDefaultRateIndex);
  MaxTaskCount_ = static_cast<LONG>(
      FillChoices(CountCombo_, TASK_COUNT_CHOICES, static_cast<DWORD>(MaxTaskCount_), kDefaultCountIndex));
  const int show = EnabledRate_ ? SW_SHOW : SW_HIDE;
  ShowWindow(GetDlgItem(window_, IDC_RATE_LABEL), show);
  ShowWindow(RateCombo_, show);
  WindowReady_ = 1;
}

void COvTransferControl::OnLimitChosen(UINT combo_id) {
  DWORD value = 0;
  if (combo_id == IDC_COUNT_COMBO) {
    if (!ChosenValue(CountCombo_, TASK_COUNT_CHOICES, &value)) return;
    MaxTaskCount_ = static_cast<LONG>(value);
    settings::WriteDword(settings::kMaxTaskCount, value);
    return;
  }
  if (!ChosenValue(RateCombo_, RATE_CHOICES, &value)) return;
  UploadRate_ = value;
  // Running uploads take the new rate at once.
  for (UploadTask& task : queue_.Tasks())
    if (task.engine) task.engine->SetRateLimit(UploadRate_ << 10);
  settings::WriteDword(settings::kMaxUploadRate, value);
}
