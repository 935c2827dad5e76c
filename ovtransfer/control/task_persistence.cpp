// Saving and loading the queue of the open user.
#include "../com/result.h"
#include "../queue/task_store.h"
#include "ov_transfer_control.h"

HRESULT COvTransferControl::SaveTasks() {
  std::wstring path;
  if (FAILED(TaskStorePath(DatabaseGUID_.Str(), UserID_.Str(), &path))) return E_FAIL;
  return ReplaceFileAtomically(path, EncodeTaskStore(queue_.Tasks()));
}

HRESULT COvTransferControl::LoadTasks() {
  std::wstring path;
  if (FAILED(TaskStorePath(DatabaseGUID_.Str(), UserID_.Str(), &path))) return E_FAIL;
  std::vector<BYTE> bytes;
  RETURN_IF_FAILED(ReadWholeFile(path, &bytes));  // no store yet: nothing changes
  std::vector<UploadTask> stored;
  const StoreDamage damage = DecodeTaskStore(bytes, &stored);
  if (damage != StoreDamage::kNone) {
    DeleteFileW(path.c_str());
    if (damage == StoreDamage::kBlocks) {
      for (size_t i = queue_.Size(); i-- > 0;) queue_.RemoveTaskAt(i);
      view_.DeleteAllRows();
    }
    return HRESULT_FROM_WIN32(ERROR_FILE_CORRUPT);
  }
  // Loading again (a new window, or Open before the window) must not queue a task twice; it
  // is found among the tasks queued before this load only, since the page may queue two tasks
  // of the same server and name (port 0 is never a duplicate) and both are in the file.
  const size_t queued_before = queue_.Size();
  for (UploadTask& task : stored) {
    if (builder_.IsQueued(task.ipv4, task.port, task.first_remote_name, queued_before)) continue;
    CScheduler::Restore(task);
    task.id = queue_.TakeId();
    const size_t index = queue_.AppendTask(std::move(task));
    InsertTaskRow(queue_.At(index), -1);
    UpdateTaskRow(queue_.At(index));
  }
  return S_OK;
}
