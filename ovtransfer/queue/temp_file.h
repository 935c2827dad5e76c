// The temporary files that carry AddItem2's text and AddItem3's manifest.
#pragma once
#include <windows.h>

#include <string>

#include "../com/ptr.h"

struct TempUploadFile {
  std::wstring path;
  com::UniqueHandle file;
};

// Creates "<temporary folder>\<new GUID in registry form>.tmp" anew. The status of the last
// error when the folder cannot be had; E_INVALIDARG when the name or the file cannot be made.
HRESULT CreateTempUploadFile(TempUploadFile* out);

// Writes all of data; false on a short or failed write.
bool WriteAll(HANDLE file, const void* data, size_t size);
