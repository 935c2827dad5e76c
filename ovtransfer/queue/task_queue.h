// The control's queue: tasks held by value in list order, found again by id, with the
// counters that go with them.
#pragma once
#include <vector>

#include "upload_task.h"

class CTaskQueue {
 public:
  std::vector<UploadTask>& Tasks() { return tasks_; }
  const std::vector<UploadTask>& Tasks() const { return tasks_; }
  UploadTask& At(size_t index) { return tasks_[index]; }
  size_t Size() const { return tasks_.size(); }

  // Appends the record and gives its index.
  size_t AppendTask(UploadTask task);
  // Disconnects and releases the task's engine, erases the record, and gives back the
  // running slot the task holds, whatever its state.
  void RemoveTaskAt(size_t index);
  // Moves the record at from to index to; E_FAIL when either index is outside the list.
  HRESULT MoveTask(size_t from, size_t to);
  // Index of the first task with this id, or -1.
  int FindTaskIndex(DWORD id) const;

  // One sequence numbers tasks and file entries.
  DWORD TakeId() { return next_id_++; }
  DWORD NextTaskId() const { return next_id_; }
  void ResetIds() { next_id_ = 0; }
  // The ids from first on are handed out again: only for a task that took the latest ids and
  // is gone again before anyone saw them.
  void GiveBackIds(DWORD first) { next_id_ = first; }

  // The running count is the number of tasks holding one of the running slots, always.
  LONG RunningCount() const { return running_; }
  void TakeSlot(UploadTask& task) {
    if (!task.holds_slot) ++running_;
    task.holds_slot = true;
  }
  void GiveSlot(UploadTask& task) {
    if (task.holds_slot && running_ > 0) --running_;
    task.holds_slot = false;
  }
  // Disconnects and lets go of the task's engine (when it has one) and gives back its slot.
  void ReleaseEngine(UploadTask& task);
  void ResetSlots() {
    for (UploadTask& task : tasks_) task.holds_slot = false;
    running_ = 0;
  }

 private:
  std::vector<UploadTask> tasks_;
  DWORD next_id_ = 0;
  LONG running_ = 0;
};
