// The two limits chosen in the window: how many uploads run at once and how fast they send.
#include <windows.h>

#include "../ui/resource_ids.h"
#include "ov_transfer_control.h"
#include "settings.h"

void COvTransferControl::FillLimitControls() {
  UploadRate_ = view_.FillRateChoices(UploadRate_, EnabledRate_ != 0);
  MaxTaskCount_ = view_.FillCountChoices(MaxTaskCount_);
  WindowReady_ = 1;
}

void COvTransferControl::OnLimitChosen(UINT combo_id) {
  DWORD value = 0;
  if (!view_.ChosenValue(combo_id, &value)) return;
  if (combo_id == IDC_COUNT_COMBO) {
    MaxTaskCount_ = static_cast<LONG>(value);
    settings::WriteDword(settings::kMaxTaskCount, value);
    return;
  }
  UploadRate_ = value;
  // Running uploads take the new rate at once.
  for (UploadTask& task : queue_.Tasks())
    if (task.engine) task.engine->SetRateLimit(UploadRate_ << 10);
  settings::WriteDword(settings::kMaxUploadRate, value);
}
