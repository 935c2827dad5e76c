// The way back from the snapshot and duration workers to the control: a worker never
// touches the task list; it leaves "clear these bits of task N" here and wakes the control's
// window, whose thread applies the change. The control and every worker share the channel,
// so a worker that ends after the control has gone finds it closed and its report is dropped.
#pragma once
#include <windows.h>

#include <memory>
#include <mutex>
#include <vector>

class CTaskQueue;

namespace snapshot {

// Posted to the control's window when reports wait; wParam and lParam are 0.
inline constexpr UINT WM_JOB_REPORT = WM_USER + 140;

class CJobReports {
 public:
  // Control side, on the control's thread.
  // The window that reports wake; null while the control has none (reports then wait).
  void SetWindow(HWND window);
  // The control goes: what waits and whatever comes later is dropped.
  void Close();
  // Task ids start again: reports of jobs started before would name the new tasks, so
  // they are dropped.
  void NewGeneration();
  DWORD Generation() const;
  // Clears the reported bits of the tasks that are still in the queue, by id.
  void ApplyTo(CTaskQueue& queue);

  // Worker side, any thread. generation: as read when the job started.
  void Report(DWORD generation, DWORD task_id, DWORD clear_bits);

 private:
  struct Pending {
    DWORD task_id;
    DWORD clear_bits;
  };
  mutable std::mutex mutex_;
  HWND window_ = nullptr;
  bool closed_ = false;
  DWORD generation_ = 0;
  std::vector<Pending> pending_;
};

// The control's end of the channel, a field of the control: it closes the channel when the
// control is destroyed.
class CJobReportsLink {
 public:
  CJobReportsLink() : reports_(std::make_shared<CJobReports>()) {}
  ~CJobReportsLink() { reports_->Close(); }
  CJobReportsLink(const CJobReportsLink&) = delete;
  CJobReportsLink& operator=(const CJobReportsLink&) = delete;

  CJobReports* operator->() const { return reports_.get(); }
  const std::shared_ptr<CJobReports>& Shared() const { return reports_; }

 private:
  std::shared_ptr<CJobReports> reports_;
};

}  // namespace snapshot
