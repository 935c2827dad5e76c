#include "job_reports.h"

#include "../queue/task_queue.h"

namespace snapshot {

void CJobReports::SetWindow(HWND window) {
  std::lock_guard<std::mutex> lock(mutex_);
  window_ = closed_ ? nullptr : window;
  // Reports that came while there was no window are applied as soon as there is one again.
  if (window_ && !pending_.empty()) PostMessageW(window_, WM_JOB_REPORT, 0, 0);
}

void CJobReports::Close() {
  std::lock_guard<std::mutex> lock(mutex_);
  closed_ = true;
  window_ = nullptr;
  pending_.clear();
}

void CJobReports::NewGeneration() {
  std::lock_guard<std::mutex> lock(mutex_);
  ++generation_;
  pending_.clear();
}

DWORD CJobReports::Generation() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return generation_;
}

void CJobReports::ApplyTo(CTaskQueue& queue) {
  std::vector<Pending> reports;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    reports.swap(pending_);
  }
  for (const Pending& report : reports) {
    const int index = queue.FindTaskIndex(report.task_id);
    if (index >= 0) queue.At(static_cast<size_t>(index)).flags &= ~report.clear_bits;
  }
}

void CJobReports::Report(DWORD generation, DWORD task_id, DWORD clear_bits) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (closed_ || generation != generation_) return;
  pending_.push_back({task_id, clear_bits});
  // Under the lock: the control forgets its window under the same lock before the window goes.
  if (window_) PostMessageW(window_, WM_JOB_REPORT, 0, 0);
}

}  // namespace snapshot
