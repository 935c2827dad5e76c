// A fresh folder below the temporary folder for one test, removed with everything in it.
#pragma once
#include <windows.h>

#include <string>

namespace testing_support {

class ScratchFolder {
 public:
  ScratchFolder();
  ~ScratchFolder();
  const std::wstring& Path() const { return path_; }
  std::wstring operator/(const std::wstring& name) const { return path_ + L"\\" + name; }
  // Writes a file of the given bytes (folders on the way are made).
  std::wstring WriteFile(const std::wstring& name, const std::string& bytes) const;
  // Writes a sparse file of size bytes, all zero, that takes next to no disk; false on failure.
  bool WriteSparseFile(const std::wstring& name, LONGLONG size) const;
  std::wstring MakeFolder(const std::wstring& name) const;

 private:
  std::wstring path_;
};

std::string ReadFileBytes(const std::wstring& path);
bool FileExists(const std::wstring& path);

}  // namespace testing_support
