// Snapshot and duration jobs: when the scheduler starts a task, its primary media file's
// playing time, or a still of it with the playing time, goes to the page's server through
// the snapshot address. Each job runs on a detached worker thread, which has the media helper
// open the file (probe_helper.h), and ends by clearing its bits in the task's flags, through
// the control's report channel.
#pragma once
#include <windows.h>

#include <functional>
#include <memory>
#include <string>

#include "../com/module_lock.h"
#include "../queue/upload_task.h"
#include "job_reports.h"

namespace snapshot {

// What a worker gets; it holds no reference to the control or its task list.
struct SnapshotJob {
  std::wstring media_path;   // the primary file's local path
  std::wstring remote_name;  // the primary file's remote name
  std::wstring address;      // the snapshot address
  std::shared_ptr<CJobReports> reports;
  DWORD generation = 0;      // of the report channel when the job started
  DWORD task_id = 0;
};

// Runs body on a detached thread; false when no thread could be made.
using ThreadStarter = bool (*)(std::function<void()> body);

// Inputs longer than these (in UTF-16 units, terminator included) start no job.
inline constexpr size_t kMediaPathRoom = 260;
inline constexpr size_t kJobRemoteNameRoom = 260;

// The snapshot address: the page's snapshot address without its own query, followed by the
// query of the remote name (from its first "?" on, unless that "?" ends the name).
std::wstring ComposeSnapshotAddress(const std::wstring& snapshot_url, const std::wstring& remote_name);

inline constexpr int kJobStarted = 0;
inline constexpr int kJobNotStarted = 1;

// Starts a snapshot job (snapshot true) or a duration job for the task, with the task's
// running bit of that kind set while the job runs. Gives kJobNotStarted, and leaves the
// flags as they were, for a media path, remote name or composed address too long for
// their rooms, or when no thread could be made.
int StartSnapshotJob(UploadTask& task, const std::wstring& media_path, const std::wstring& remote_name,
                     bool snapshot, const std::wstring& snapshot_url, const std::shared_ptr<CJobReports>& reports,
                     ThreadStarter start = &com::StartModuleThread);

// The scheduler's start step: for the task's first primary entry, a snapshot job if one is
// wanted and none runs, else likewise a duration job; at most one job per call.
void StartJobForTask(UploadTask& task, const std::wstring& snapshot_url, const std::shared_ptr<CJobReports>& reports,
                     ThreadStarter start = &com::StartModuleThread);

// The workers' bodies: 0 on success, 1 on failure. Each enters and leaves a single-threaded
// apartment of its own and reports to the job's channel at its end.
// The duration job clears its running bit whatever the outcome, so the report is sent again
// at the task's next start step.
DWORD DurationReportWorker(const SnapshotJob& job);
// The snapshot job clears the wish for a snapshot and for a duration report with its running
// bit after a successful post, and only its running bit otherwise (tried again later).
DWORD SnapshotWorker(const SnapshotJob& job);

}  // namespace snapshot
