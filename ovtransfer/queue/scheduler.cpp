#include "scheduler.h"

#include <string>

#include "../outside/ovres.h"
#include "../outside/transfer_engine_server.h"

namespace {

constexpr DWORD kEngineMode = 2;
constexpr DWORD kConnectTimeoutMs = 2000;

bool Waiting(DWORD state) { return state == TASK_NEW || state == TASK_QUEUED || state == TASK_RESTORED; }

SOCKADDR_IN SocketAddress(DWORD ipv4, DWORD port) {
  SOCKADDR_IN address = {};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<u_short>(port));
  address.sin_addr.s_addr = htonl(ipv4);
  return address;
}

UploadFile* CurrentEntry(UploadTask& task) {
  return task.current_file < task.files.size() ? &task.files[task.current_file] : nullptr;
}

}  // namespace

HRESULT CRegisteredEngineFactory::CreateEngine(com::ComPtr<ITransferEngine>* engine) {
  GUID buffer;
  const CLSID engine_class = *OVRES_LoadGuid(&buffer, GUID_KEY_ENGINE);
  return CoCreateInstance(engine_class, nullptr, CLSCTX_INPROC_SERVER, IID_ITransferEngine, engine->ReceiveVoid());
}

void CScheduler::Tick() {
  LONG uploading = 0;
  for (size_t i = 0; i < queue_.Size(); ++i) {
    StartTask(i);
    UploadTask& task = queue_.At(i);
    // The first MaxTaskCount uploading tasks in list order go on; later ones go back to the queue.
    if (task.state == TASK_UPLOADING && task.engine && ++uploading > in_.max_task_count)
      PauseTransfer(task, TASK_QUEUED);
    sink_.TaskRowChanged(task, static_cast<int>(i));
  }
}

HRESULT CScheduler::StartTask(size_t index) {
  UploadTask& task = queue_.At(index);
  if (task.state == TASK_UPLOADING || task.state == TASK_PAUSED || task.state == TASK_DONE) return S_FALSE;
  if (task.state == TASK_ERR_STOPPED && task.engine) queue_.ReleaseEngine(task);
  if (IsErrorState(task.state) && task.retries >= kMaxRetries) {
    if (task.engine) queue_.ReleaseEngine(task);
    return E_FAIL;  // rests until the Start command
  }
  if (!task.holds_slot) {
    // Every task that works counts, so the running count stays the tasks holding a slot.
    if (queue_.RunningCount() >= in_.max_task_count) {
      if (Waiting(task.state)) task.state = TASK_QUEUED;
      return S_FALSE;
    }
    queue_.TakeSlot(task);
  }
  while (task.current_file < task.files.size() && task.files[task.current_file].state == TASK_DONE)
    ++task.current_file;
  if (task.current_file >= task.files.size()) {
    Finish(task);
    sink_.TaskFinished(task);
    return S_OK;
  }
  sink_.TransferStarting(task);

  if (!task.engine) {
    const HRESULT hr = ConnectEngine(task);
    if (FAILED(hr)) return hr;
  }

  UploadFile& entry = task.files[task.current_file];
  wchar_t remote_out[260] = {}, status_out[64] = {};
  HRESULT hr = task.engine->PutFile(entry.remote_name.c_str(), entry.local_path.c_str(), 0,
                                    entry.flags & ~FILE_DELETE_AFTER_UPLOAD, static_cast<LONG>(task.id),
                                    remote_out, 260, status_out, 64);
  if (FAILED(hr)) {
    Fail(task, TASK_ERR_PUT, true);
    return hr;
  }
  if (entry.flags & FILE_NO_DATA) {
    // A folder's own entry: handed over, nothing to send; the next entry goes at once.
    entry.state = TASK_DONE;
    sink_.TaskFinished(task);
    ++task.current_file;
    return StartTask(index);
  }
  if (entry.done > 0) task.engine->SetResumePosition(static_cast<ULONGLONG>(entry.done),
                                                     static_cast<ULONGLONG>(entry.done));
  if (FAILED(hr = task.engine->StartTransfer())) {
    Fail(task, TASK_ERR_START, true);
    return hr;
  }
  task.engine->SetRateLimit(in_.upload_rate << 10);
  task.retries = 0;
  task.state = TASK_UPLOADING;
  return S_OK;
}

HRESULT CScheduler::ConnectEngine(UploadTask& task) {
  com::ComPtr<ITransferEngine> engine;
  HRESULT hr = engines_.CreateEngine(&engine);
  if (FAILED(hr)) {
    queue_.GiveSlot(task);  // else a task without an engine would take a slot at every tick
    return hr;
  }
  // The page's server name, for an engine that checks the server's certificate against it.
  if (com::ComPtr<ITransferEngineServer> named; SUCCEEDED(engine.As(&named, IID_ITransferEngineServer)))
    named->SetServerName(task.address_text.c_str());
  engine->SetNotifyWindow(in_.notify_window, WM_TRANSFER_NOTIFY);
  const SOCKADDR_IN any = SocketAddress(0, 0), server = SocketAddress(task.ipv4, task.port);
  if (FAILED(hr = engine->Initialize(kEngineMode, &any, 0)) ||
      FAILED(hr = engine->Connect(&server, kConnectTimeoutMs))) {
    Fail(task, TASK_ERR_CONNECT, false);
    return hr;  // the engine goes without Disconnect: it never connected
  }
  wchar_t reply[64] = {};
  const std::wstring user = in_.user_name.Str(), password = in_.user_pass.Str();
  if (FAILED(hr = engine->Login(user.c_str(), password.c_str(), reply, 64))) {
    engine->Disconnect();
    Fail(task, TASK_ERR_LOGIN, false);
    return hr;
  }
  task.engine = engine;
  return S_OK;
}

void CScheduler::OnTransferNotify(WPARAM code, LPARAM task_id) {
  if (queue_.Size() == 0) return;
  if (code == NOTIFY_ABORTED) return AbortAll();
  const int index = queue_.FindTaskIndex(static_cast<DWORD>(task_id));
  if (index < 0) return;
  UploadTask& task = queue_.At(static_cast<size_t>(index));
  UploadFile* entry = CurrentEntry(task);
  if (!task.engine || !entry) return;
  ULONGLONG transferred = 0;
  if (FAILED(task.engine->GetBytesTransferred(&transferred))) return;
  switch (code) {
    case NOTIFY_FILE_BEGIN:
      entry->done = 0;
      break;
    case NOTIFY_PROGRESS:
      if (entry->state != TASK_PAUSED && task.state != TASK_PAUSED) entry->state = task.state = TASK_UPLOADING;
      entry->done = static_cast<LONGLONG>(transferred);
      break;
    case NOTIFY_PAUSED:
      entry->state = TASK_PAUSED;
      task.state = TASK_PAUSED;
      break;
    case NOTIFY_FILE_DONE:
      entry->state = TASK_DONE;
      entry->done = entry->size;
      break;
    default:
      return;
  }
  ShowProgress(task);
  if (code != NOTIFY_FILE_DONE) return;

  task.engine->FinishFile();
  if (entry->flags & FILE_DELETE_AFTER_UPLOAD) DeleteFileW(entry->local_path.c_str());
  if (task.current_file + 1 < task.files.size()) {
    NextEntry(task);
    StartTask(static_cast<size_t>(index));
    sink_.SaveWanted();
    return;
  }
  Finish(task);
  sink_.TaskRowChanged(task, -1);
  sink_.SaveWanted();
  sink_.TaskFinished(task);
}

void CScheduler::ShowProgress(UploadTask& task) {
  LONGLONG sum = 0;
  for (const UploadFile& f : task.files) sum += f.done;
  double ratio = task.total_size ? static_cast<double>(sum) / static_cast<double>(task.total_size) : 1.0;
  if (!(ratio < 1.0)) ratio = 1.0;
  const DWORD percent = static_cast<DWORD>(ratio * 100), permille = static_cast<DWORD>(ratio * 1000);
  task.progress = ((permille % 10) << 16) + (percent & 0xFFFF);
  sink_.TaskRowChanged(task, -1);
}

void CScheduler::Resume(UploadTask& task) {
  if (task.state == TASK_PAUSED && task.engine) {
    if (queue_.RunningCount() >= in_.max_task_count) {
      task.state = TASK_QUEUED;  // waits for a slot, keeping its paused engine
    } else if (SUCCEEDED(task.engine->StartTransfer())) {
      if (UploadFile* entry = CurrentEntry(task)) entry->state = TASK_UPLOADING;
      task.state = TASK_UPLOADING;
      queue_.TakeSlot(task);
    }
  }
  if (IsErrorState(task.state) && !task.engine) {
    queue_.GiveSlot(task);  // the failed task gives its slot back
    task.retries = 0;
    task.state = TASK_QUEUED;
  }
}

void CScheduler::Pause(UploadTask& task) {
  if (task.state == TASK_UPLOADING && task.engine) PauseTransfer(task, TASK_PAUSED);
}

void CScheduler::Restore(UploadTask& task) {
  if (task.state == TASK_UPLOADING || task.state == TASK_PAUSED) task.state = TASK_RESTORED;
}

bool CScheduler::PauseTransfer(UploadTask& task, DWORD state) {
  if (FAILED(task.engine->PauseTransfer())) return false;
  if (UploadFile* entry = CurrentEntry(task)) entry->state = TASK_PAUSED;
  task.state = state;
  queue_.GiveSlot(task);
  return true;
}

void CScheduler::Fail(UploadTask& task, DWORD state, bool entry_failed) {
  if (entry_failed) task.files[task.current_file].state = state;
  task.state = state;
  ++task.retries;
}

void CScheduler::Finish(UploadTask& task) {
  task.state = TASK_DONE;
  queue_.ReleaseEngine(task);
}

void CScheduler::NextEntry(UploadTask& task) {
  ++task.current_file;
  task.state = TASK_QUEUED;
  queue_.GiveSlot(task);
}

void CScheduler::AbortAll() {
  for (UploadTask& task : queue_.Tasks()) {
    if (!task.engine) continue;
    queue_.ReleaseEngine(task);
    if (task.state == TASK_DONE) continue;
    task.state = TASK_ERR_STOPPED;
    if (UploadFile* entry = CurrentEntry(task)) entry->state = TASK_ERR_STOPPED;
  }
  queue_.ResetSlots();
}
