// The scheduler: once a second every task is visited in list order, queued tasks start
// while running slots are free, each through an engine of its own; the engine's
// notifications move entries and tasks through their states.
#include <string>

#include "../control/ov_transfer_control.h"
#include "../outside/ovres.h"
#include "../outside/transfer_engine_server.h"
#include "../snapshot/snapshot_jobs.h"

namespace {

constexpr DWORD kMaxRetries = 5;
constexpr DWORD kEngineMode = 2;
constexpr DWORD kConnectTimeoutMs = 2000;

bool Waiting(DWORD state) { return state == TASK_NEW || state == TASK_QUEUED || state == TASK_RESTORED; }

void ReleaseEngine(UploadTask& task) {
  if (!task.engine) return;
  task.engine->Disconnect();
  task.engine.Reset();
}

SOCKADDR_IN SocketAddress(DWORD ipv4, DWORD port) {
  SOCKADDR_IN address = {};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<u_short>(port));
  address.sin_addr.s_addr = htonl(ipv4);
  return address;
}

}  // namespace

void COvTransferControl::SchedulerTick() {
  LONG uploading = 0;
  for (size_t i = 0; i < queue_.Size(); ++i) {
    StartTask(i);
    UploadTask& task = queue_.At(i);
    // The first MaxTaskCount uploading tasks in list order go on; later ones go back to the queue.
    if (task.state == TASK_UPLOADING && task.engine && ++uploading > MaxTaskCount_ &&
        SUCCEEDED(task.engine->PauseTransfer())) {
      if (task.current_file < task.files.size()) task.files[task.current_file].state = TASK_PAUSED;
      task.state = TASK_QUEUED;
      queue_.GiveSlot(task);
    }
    UpdateTaskRow(task, static_cast<int>(i));
  }
}

HRESULT COvTransferControl::StartTask(size_t index) {
  UploadTask& task = queue_.At(index);
  if (task.state == TASK_UPLOADING || task.state == TASK_PAUSED || task.state == TASK_DONE) return 1;
  if (task.state == TASK_ERR_STOPPED && task.engine) {
    ReleaseEngine(task);
    queue_.GiveSlot(task);
  }
  if (IsErrorState(task.state) && task.retries >= kMaxRetries) {
    if (task.engine) {
      ReleaseEngine(task);
      queue_.GiveSlot(task);
    }
    return E_FAIL;  // rests until the Start command
  }
  if (!task.holds_slot) {
    // Every task that works counts, so the running count stays the tasks holding a slot.
    if (queue_.RunningCount() >= MaxTaskCount_) {
      if (Waiting(task.state)) task.state = TASK_QUEUED;
      return 1;
    }
    queue_.TakeSlot(task);
  }
  while (task.current_file < task.files.size() && task.files[task.current_file].state == TASK_DONE)
    ++task.current_file;
  if (task.current_file >= task.files.size()) {
    ReleaseEngine(task);
    queue_.GiveSlot(task);
    task.state = TASK_DONE;
    ScrollToActiveTask();
    return S_OK;
  }
  // The page's server hears of the primary file at once; the transfer does not wait for it.
  snapshot::StartJobForTask(task, SnapshotUploadUrl_.Str(), JobReports_.Shared());

  if (!task.engine) {
    GUID buffer;
    const CLSID engine_class = *OVRES_LoadGuid(&buffer, GUID_KEY_ENGINE);
    com::ComPtr<ITransferEngine> engine;
    HRESULT hr = CoCreateInstance(engine_class, nullptr, CLSCTX_INPROC_SERVER, IID_ITransferEngine,
                                  engine.ReceiveVoid());
    if (FAILED(hr)) {
      queue_.GiveSlot(task);  // else a task without an engine would take a slot at every tick
      return hr;
    }
    // The page's server name, for an engine that checks the server's certificate against it.
    if (com::ComPtr<ITransferEngineServer> named; SUCCEEDED(engine.As(&named, IID_ITransferEngineServer)))
      named->SetServerName(task.address_text.c_str());
    engine->SetNotifyWindow(window_, WM_TRANSFER_NOTIFY);
    const SOCKADDR_IN any = SocketAddress(0, 0), server = SocketAddress(task.ipv4, task.port);
    if (FAILED(hr = engine->Initialize(kEngineMode, &any, 0)) ||
        FAILED(hr = engine->Connect(&server, kConnectTimeoutMs))) {
      task.state = TASK_ERR_CONNECT;
      ++task.retries;
      return hr;  // the engine goes without Disconnect: it never connected
    }
    wchar_t reply[64] = {};
    const std::wstring user = UserName_.Str(), password = UserPass_.Str();
    if (FAILED(hr = engine->Login(user.c_str(), password.c_str(), reply, 64))) {
      engine->Disconnect();
      task.state = TASK_ERR_LOGIN;
      ++task.retries;
      return hr;
    }
    task.engine = engine;
  }

  UploadFile& entry = task.files[task.current_file];
  wchar_t remote_out[260] = {}, status_out[64] = {};
  HRESULT hr = task.engine->PutFile(entry.remote_name.c_str(), entry.local_path.c_str(), 0,
                                    entry.flags & ~FILE_DELETE_AFTER_UPLOAD, static_cast<LONG>(task.id),
                                    remote_out, 260, status_out, 64);
  if (FAILED(hr)) {
    entry.state = TASK_ERR_PUT;
    task.state = TASK_ERR_PUT;
    ++task.retries;
    return hr;
  }
  if (entry.flags & FILE_NO_DATA) {
    // A folder's own entry: handed over, nothing to send; the next entry goes at once.
    entry.state = TASK_DONE;
    ScrollToActiveTask();
    ++task.current_file;
    return StartTask(index);
  }
  if (entry.done > 0) task.engine->SetResumePosition(static_cast<ULONGLONG>(entry.done),
                                                     static_cast<ULONGLONG>(entry.done));
  if (FAILED(hr = task.engine->StartTransfer())) {
    entry.state = TASK_ERR_START;
    task.state = TASK_ERR_START;
    ++task.retries;
    return hr;
  }
  task.engine->SetRateLimit(UploadRate_ << 10);
  task.retries = 0;
  task.state = TASK_UPLOADING;
  return S_OK;
}

void COvTransferControl::OnTransferNotify(WPARAM code, LPARAM task_id) {
  if (queue_.Size() == 0) return;
  if (code == NOTIFY_ABORTED) {
    for (UploadTask& task : queue_.Tasks()) {
      if (!task.engine) continue;
      ReleaseEngine(task);
      if (task.state == TASK_DONE) continue;
      task.state = TASK_ERR_STOPPED;
      if (task.current_file < task.files.size()) task.files[task.current_file].state = TASK_ERR_STOPPED;
    }
    queue_.ResetSlots();
    return;
  }
  const int index = queue_.FindTaskIndex(static_cast<DWORD>(task_id));
  if (index < 0) return;
  UploadTask& task = queue_.At(static_cast<size_t>(index));
  if (!task.engine || task.current_file >= task.files.size()) return;
  ULONGLONG transferred = 0;
  if (FAILED(task.engine->GetBytesTransferred(&transferred))) return;
  UploadFile& entry = task.files[task.current_file];
  switch (code) {
    case NOTIFY_FILE_BEGIN:
      entry.done = 0;
      break;
    case NOTIFY_PROGRESS:
      if (entry.state != TASK_PAUSED && task.state != TASK_PAUSED) entry.state = task.state = TASK_UPLOADING;
      entry.done = static_cast<LONGLONG>(transferred);
      break;
    case NOTIFY_PAUSED:
      entry.state = TASK_PAUSED;
      task.state = TASK_PAUSED;
      break;
    case NOTIFY_FILE_DONE:
      entry.state = TASK_DONE;
      entry.done = entry.size;
      break;
    default:
      return;
  }
  LONGLONG sum = 0;
  for (const UploadFile& f : task.files) sum += f.done;
  double ratio = task.total_size ? static_cast<double>(sum) / static_cast<double>(task.total_size) : 1.0;
  if (!(ratio < 1.0)) ratio = 1.0;
  const DWORD percent = static_cast<DWORD>(ratio * 100), permille = static_cast<DWORD>(ratio * 1000);
  task.progress = ((permille % 10) << 16) + (percent & 0xFFFF);
  UpdateTaskRow(task);
  if (code != NOTIFY_FILE_DONE) return;

  task.engine->FinishFile();
  if (entry.flags & FILE_DELETE_AFTER_UPLOAD) DeleteFileW(entry.local_path.c_str());
  if (task.current_file + 1 < task.files.size()) {
    ++task.current_file;
    task.state = TASK_QUEUED;
    queue_.GiveSlot(task);
    StartTask(static_cast<size_t>(index));
    SaveTasks();
    return;
  }
  task.state = TASK_DONE;
  ReleaseEngine(task);
  UpdateTaskRow(task);
  ScrollToActiveTask();
  queue_.GiveSlot(task);
  SaveTasks();
  const int now = queue_.FindTaskIndex(static_cast<DWORD>(task_id));
  if (now >= 0 && static_cast<LONG>(task_id) == SelectedTaskId_)
    UpdateButtonsFor(static_cast<size_t>(now));
}
