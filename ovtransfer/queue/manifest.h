// The document that describes an uploaded link and the files that come with it.
#pragma once
#include <string>

#include "upload_task.h"

// The manifest text (without its byte-order mark) for link, the secondary remote name and
// the task's entries so far.
std::wstring BuildManifest(const std::wstring& link, const std::wstring& remote_name2, const UploadTask& task);
