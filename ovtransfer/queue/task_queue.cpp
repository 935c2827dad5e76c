#include "task_queue.h"

size_t CTaskQueue::AppendTask(UploadTask task) {
  tasks_.push_back(std::move(task));
  return tasks_.size() - 1;
}

void CTaskQueue::RemoveTaskAt(size_t index) {
  if (index >= tasks_.size()) return;
  ReleaseEngine(tasks_[index]);  // a task resting in an error state may hold a slot too
  tasks_.erase(tasks_.begin() + static_cast<std::ptrdiff_t>(index));
}

void CTaskQueue::ReleaseEngine(UploadTask& task) {
  if (task.engine) {
    task.engine->Disconnect();
    task.engine.Reset();
  }
  GiveSlot(task);
}

int CTaskQueue::FindTaskIndex(DWORD id) const {
  for (size_t i = 0; i < tasks_.size(); ++i)
    if (tasks_[i].id == id) return static_cast<int>(i);
  return -1;
}

HRESULT CTaskQueue::MoveTask(size_t from, size_t to) {
  if (from >= tasks_.size() || to >= tasks_.size()) return E_FAIL;
  UploadTask task = std::move(tasks_[from]);
  tasks_.erase(tasks_.begin() + static_cast<std::ptrdiff_t>(from));
  tasks_.insert(tasks_.begin() + static_cast<std::ptrdiff_t>(to), std::move(task));
  return S_OK;
}
