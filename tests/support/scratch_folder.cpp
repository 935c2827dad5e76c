#include "support/scratch_folder.h"

#include <objbase.h>
#include <winioctl.h>

#include "ovtransfer/com/folder_walk.h"

namespace testing_support {
namespace {

void RemoveTree(const std::wstring& path) {
  com::ForEachEntry(path, [&](const WIN32_FIND_DATAW& found) {
    const std::wstring child = path + L"\\" + found.cFileName;
    SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
      RemoveTree(child);
    else
      DeleteFileW(child.c_str());
    return true;
  });
  RemoveDirectoryW(path.c_str());
}

}  // namespace

ScratchFolder::ScratchFolder() {
  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  GUID guid;
  CoCreateGuid(&guid);
  wchar_t name[40];
  StringFromGUID2(guid, name, 40);
  path_ = std::wstring(temp) + L"ovt-test-" + std::wstring(name + 1, 8);
  CreateDirectoryW(path_.c_str(), nullptr);
}

ScratchFolder::~ScratchFolder() { RemoveTree(path_); }

std::wstring ScratchFolder::MakeFolder(const std::wstring& name) const {
  std::wstring path = path_;
  size_t start = 0;
  while (start <= name.size()) {
    size_t end = name.find(L'\\', start);
    if (end == std::wstring::npos) end = name.size();
    path += L"\\" + name.substr(start, end - start);
    CreateDirectoryW(path.c_str(), nullptr);
    start = end + 1;
  }
  return path;
}

std::wstring ScratchFolder::WriteFile(const std::wstring& name, const std::string& bytes) const {
  const size_t slash = name.rfind(L'\\');
  if (slash != std::wstring::npos) MakeFolder(name.substr(0, slash));
  const std::wstring path = *this / name;
  com::UniqueFile file(
      CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  DWORD written = 0;
  ::WriteFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  return path;
}

bool ScratchFolder::WriteSparseFile(const std::wstring& name, LONGLONG size) const {
  com::UniqueFile file(
      CreateFileW((*this / name).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return false;
  DWORD returned = 0;
  DeviceIoControl(file.Get(), FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &returned, nullptr);
  LARGE_INTEGER end;
  end.QuadPart = size;
  return SetFilePointerEx(file.Get(), end, nullptr, FILE_BEGIN) && SetEndOfFile(file.Get());
}

std::string ReadFileBytes(const std::wstring& path) {
  com::UniqueFile file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                   nullptr, OPEN_EXISTING, 0, nullptr));
  if (!file) return {};
  std::string bytes;
  char buffer[65536];
  DWORD read = 0;
  while (ReadFile(file.Get(), buffer, sizeof(buffer), &read, nullptr) && read > 0) bytes.append(buffer, read);
  return bytes;
}

bool FileExists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

}  // namespace testing_support
