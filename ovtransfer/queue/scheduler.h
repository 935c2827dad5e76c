// The scheduler: once a second every task is visited in list order, queued tasks start while
// running slots are free, each through an engine of its own; the engine's notifications move
// entries and tasks through their states. Every change of a task's state is made here, one
// function per change; the owner hears of what it must show or keep through a small sink.
#pragma once
#include <winsock2.h>
#include <windows.h>

#include "../com/ptr.h"
#include "../outside/transfer_engine.h"
#include "task_queue.h"

// Makes the engine of one task.
class IEngineFactory {
 public:
  virtual HRESULT CreateEngine(com::ComPtr<ITransferEngine>* engine) = 0;

 protected:
  ~IEngineFactory() = default;
};

// The engine class registered for the engine's key in the resource identity library.
class CRegisteredEngineFactory final : public IEngineFactory {
 public:
  HRESULT CreateEngine(com::ComPtr<ITransferEngine>* engine) override;
};

// What the scheduler tells its owner.
class ISchedulerSink {
 public:
  // The task's state or progress changed; index is its place in the queue when known, else -1.
  virtual void TaskRowChanged(const UploadTask& task, int index) = 0;
  // A task, or a folder's own entry, is through: the next active task comes into view.
  virtual void TaskFinished(const UploadTask& task) = 0;
  // The queue changed in a way worth keeping on disk now.
  virtual void SaveWanted() = 0;
  // The task goes to its engine: the page's server hears of its primary file at once, the
  // transfer does not wait for that.
  virtual void TransferStarting(UploadTask& task) = 0;

 protected:
  ~ISchedulerSink() = default;
};

// The owner's fields the scheduler reads at every step (they change under it: the limit
// lists, Open and the properties write them).
struct SchedulerInputs {
  const LONG& max_task_count;
  const ULONG& upload_rate;  // units of 1024 bytes a second; 0 means unlimited
  const com::Bstr& user_name;
  const com::Bstr& user_pass;
  HWND const& notify_window;  // where the engines post WM_TRANSFER_NOTIFY
};

class CScheduler {
 public:
  // A task in an error state is tried again on this many ticks, then rests until Start.
  static constexpr DWORD kMaxRetries = 5;

  CScheduler(CTaskQueue& queue, IEngineFactory& engines, ISchedulerSink& sink, const SchedulerInputs& inputs)
      : queue_(queue), engines_(engines), sink_(sink), in_(inputs) {}

  // One visit of every task in list order (the one-second timer).
  void Tick();
  // Moves the task at index on: connect, log in, hand over the current entry, start its
  // transfer. S_OK when it uploads or is done; 1 when it has nothing to do now (running, paused,
  // done, or waiting for a slot); a failure otherwise (the task's state says which).
  HRESULT StartTask(size_t index);
  // An engine's WM_TRANSFER_NOTIFY.
  void OnTransferNotify(WPARAM code, LPARAM task_id);

  // The user's Start: a paused task goes on (or waits for a slot, keeping its engine); a
  // task resting in an error state without an engine is queued again with fresh retries.
  void Resume(UploadTask& task);
  // The user's Pause of an uploading task.
  void Pause(UploadTask& task);

  // A task the page has just queued (all its entries made) waits for its turn.
  static void Admit(UploadTask& task) { task.state = TASK_QUEUED; }
  // A task read back from the store: one that was moving when it was saved starts again.
  static void Restore(UploadTask& task);

 private:
  // Pauses the task's transfer and gives back its slot; the task goes to state. False when
  // the engine refuses (nothing changes).
  bool PauseTransfer(UploadTask& task, DWORD state);
  // A step of the start failed: the task (and, for the entry's own steps, the entry) takes
  // the error state and counts a retry.
  static void Fail(UploadTask& task, DWORD state, bool entry_failed);
  // Every entry is through: engine and slot go back, the task is done.
  void Finish(UploadTask& task);
  // The current entry is through and more follow: the task goes back to the queue with its
  // engine for the next entry.
  void NextEntry(UploadTask& task);
  // The engines stopped all at once: every unfinished task that had one rests stopped.
  void AbortAll();
  HRESULT ConnectEngine(UploadTask& task);
  void ShowProgress(UploadTask& task);

  CTaskQueue& queue_;
  IEngineFactory& engines_;
  ISchedulerSink& sink_;
  SchedulerInputs in_;
};
