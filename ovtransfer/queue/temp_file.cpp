#include "temp_file.h"

#include <objbase.h>

#include "../com/status.h"

HRESULT CreateTempUploadFile(TempUploadFile* out) {
  wchar_t folder[MAX_PATH + 1];
  const DWORD length = GetTempPathW(MAX_PATH, folder);
  if (length == 0 || length >= MAX_PATH) return com::LastErrorStatus();
  GUID guid;
  wchar_t name[40];
  if (FAILED(CoCreateGuid(&guid)) || StringFromGUID2(guid, name, 40) != 39) return E_INVALIDARG;
  std::wstring path = std::wstring(folder, length) + name + L".tmp";
  if (path.size() >= MAX_PATH) return E_INVALIDARG;
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return E_INVALIDARG;
  out->path = std::move(path);
  out->file = com::UniqueHandle(file);
  return S_OK;
}

bool WriteAll(HANDLE file, const void* data, size_t size) {
  const char* bytes = static_cast<const char*>(data);
  while (size > 0) {
    const DWORD chunk = size > (1u << 30) ? (1u << 30) : static_cast<DWORD>(size);
    DWORD written = 0;
    if (!WriteFile(file, bytes, chunk, &written, nullptr) || written == 0) return false;
    bytes += written;
    size -= written;
  }
  return true;
}
