#include "snapshot_jobs.h"

#include <objbase.h>

#include "probe_helper.h"
#include "snapshot_post.h"

namespace snapshot {
namespace {

class Apartment {
 public:
  Apartment() : result_(CoInitialize(nullptr)) {}
  ~Apartment() {
    if (SUCCEEDED(result_)) CoUninitialize();
  }
  Apartment(const Apartment&) = delete;
  Apartment& operator=(const Apartment&) = delete;

 private:
  HRESULT result_;
};

// The still's path: the reserved temporary name with ".JPG" for its extension.
std::wstring StillPath(const std::wstring& reserved) {
  const size_t dot = reserved.rfind(L'.');
  const size_t slash = reserved.find_last_of(L"\\/");
  const bool has_extension = dot != std::wstring::npos && (slash == std::wstring::npos || dot > slash);
  return (has_extension ? reserved.substr(0, dot) : reserved) + L".JPG";
}

}  // namespace

std::wstring ComposeSnapshotAddress(const std::wstring& snapshot_url, const std::wstring& remote_name) {
  std::wstring address = snapshot_url.substr(0, snapshot_url.find(L'?'));
  const size_t query = remote_name.find(L'?');
  if (query != std::wstring::npos && query + 1 < remote_name.size()) address += remote_name.substr(query);
  return address;
}

int StartSnapshotJob(UploadTask& task, const std::wstring& media_path, const std::wstring& remote_name,
                     bool snapshot, const std::wstring& snapshot_url, const std::shared_ptr<CJobReports>& reports,
                     ThreadStarter start) {
  if (media_path.size() >= kMediaPathRoom || remote_name.size() >= kJobRemoteNameRoom) return kJobNotStarted;
  std::wstring address = ComposeSnapshotAddress(snapshot_url, remote_name);
  if (address.size() >= kAddressRoom) return kJobNotStarted;

  auto job = std::make_shared<SnapshotJob>();
  job->media_path = media_path;
  job->remote_name = remote_name;
  job->address = std::move(address);
  job->reports = reports;
  job->generation = reports->Generation();
  job->task_id = task.id;

  const DWORD running = snapshot ? TASK_SNAPSHOT_RUNNING : TASK_DURATION_RUNNING;
  task.flags |= running;
  const bool started = snapshot ? start([job] { SnapshotWorker(*job); }) : start([job] { DurationReportWorker(*job); });
  if (!started) {
    // No worker will clear the bit: left set, the task would never get a job of this kind again.
    task.flags &= ~running;
    return kJobNotStarted;
  }
  return kJobStarted;
}

void StartJobForTask(UploadTask& task, const std::wstring& snapshot_url, const std::shared_ptr<CJobReports>& reports,
                     ThreadStarter start) {
  for (const UploadFile& entry : task.files) {
    if (!(entry.flags & FILE_PRIMARY)) continue;
    if ((task.flags & STYLE_SNAPSHOT) && !(task.flags & TASK_SNAPSHOT_RUNNING))
      StartSnapshotJob(task, entry.local_path, entry.remote_name, true, snapshot_url, reports, start);
    else if ((task.flags & STYLE_REPORT_DURATION) && !(task.flags & TASK_DURATION_RUNNING))
      StartSnapshotJob(task, entry.local_path, entry.remote_name, false, snapshot_url, reports, start);
    return;
  }
}

DWORD DurationReportWorker(const SnapshotJob& job) {
  Apartment apartment;
  bool succeeded = false;
  try {
    // An address that no post can reach fails the job before the media file is opened. The
    // file is opened in the media helper: whatever it does to the helper, here it is a failure.
    LONG seconds = 0;
    succeeded = AddressIsPostable(job.address) && ProbeDurationInHelper(job.media_path, &seconds) == S_OK &&
                PostDuration(job.address, seconds) == 0;
  } catch (...) {
    succeeded = false;
  }
  job.reports->Report(job.generation, job.task_id, TASK_DURATION_RUNNING);
  return succeeded ? 0 : 1;
}

DWORD SnapshotWorker(const SnapshotJob& job) {
  Apartment apartment;
  bool succeeded = false;
  wchar_t folder[MAX_PATH], reserved[MAX_PATH];
  const DWORD length = GetTempPathW(MAX_PATH, folder);
  // The system reserves the name by making an empty file of it; the still lives beside it.
  if (length > 0 && length < MAX_PATH && GetTempFileNameW(folder, L"OVT", 0, reserved)) {
    const std::wstring still = StillPath(reserved);
    try {
      LONG seconds = 0;
      succeeded = AddressIsPostable(job.address) && CaptureStillInHelper(job.media_path, still, &seconds) == S_OK &&
                  PostFile(job.address, still, seconds) == 0;
    } catch (...) {
      succeeded = false;
    }
    DeleteFileW(still.c_str());
    DeleteFileW(reserved);  // the reservation is needed only while the still is
  }
  job.reports->Report(job.generation, job.task_id,
                      succeeded ? STYLE_SNAPSHOT | STYLE_REPORT_DURATION | TASK_SNAPSHOT_RUNNING
                                : TASK_SNAPSHOT_RUNNING);
  return succeeded ? 0 : 1;
}

}  // namespace snapshot
