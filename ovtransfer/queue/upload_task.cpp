#include "upload_task.h"

const wchar_t* StatusText(DWORD state) {
  switch (state) {
    case TASK_QUEUED:
      return L"排队";
    case TASK_UPLOADING:
      return L"上传";
    case TASK_PAUSED:
      return L"暂停";
    case TASK_DONE:
      return L"完成";
    case TASK_RESTORED:
      return L"恢复";
    default:
      return L"错误";
  }
}
