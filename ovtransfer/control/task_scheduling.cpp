// The control's side of the scheduler: the timer and the engines' messages go to it, and what
// it reports shows in the task list, reaches the store and starts the snapshot jobs.
#include "../snapshot/snapshot_jobs.h"
#include "ov_transfer_control.h"

void COvTransferControl::SchedulerTick() { scheduler_.Tick(); }

HRESULT COvTransferControl::StartTask(size_t index) { return scheduler_.StartTask(index); }

void COvTransferControl::OnTransferNotify(WPARAM code, LPARAM task_id) { scheduler_.OnTransferNotify(code, task_id); }

void COvTransferControl::SchedulerSink::TaskRowChanged(const UploadTask& task, int index) {
  control_.UpdateTaskRow(task, index);
}

void COvTransferControl::SchedulerSink::TaskFinished(const UploadTask& task) {
  control_.ScrollToActiveTask();
  if (static_cast<LONG>(task.id) != control_.SelectedTaskId_) return;
  const int index = control_.queue_.FindTaskIndex(task.id);
  if (index >= 0) control_.UpdateButtonsFor(static_cast<size_t>(index));
}

void COvTransferControl::SchedulerSink::SaveWanted() { control_.SaveTasks(); }

void COvTransferControl::SchedulerSink::TransferStarting(UploadTask& task) {
  snapshot::StartJobForTask(task, control_.SnapshotUploadUrl_.Str(), control_.JobReports_.Shared());
}
