#include "task_store.h"

#include <cassert>
#include <cstring>

#include "../com/result.h"
#include "../com/unique.h"

namespace {

// Fills a buffer made to the file's size and zeroed, so padding and the rest of every text
// field are already in place and each field is one copy.
class Writer {
 public:
  explicit Writer(BYTE* at) : at_(at) {}
  void U32(DWORD v) { Raw(&v, 4); }
  void I64(LONGLONG v) { Raw(&v, 8); }
  // The text, cut to leave room for its terminator, in a field of `units` UTF-16 units.
  void Text(const std::wstring& text, size_t units) {
    const size_t chars = text.size() < units ? text.size() : units - 1;
    std::memcpy(at_, text.data(), chars * 2);
    at_ += units * 2;
  }
  const BYTE* At() const { return at_; }

 private:
  void Raw(const void* data, size_t size) {
    std::memcpy(at_, data, size);
    at_ += size;
  }
  BYTE* at_;
};

class Reader {
 public:
  Reader(const std::vector<BYTE>& bytes, size_t at) : bytes_(bytes), at_(at) {}
  size_t Left() const { return bytes_.size() - at_; }
  DWORD U32(size_t offset) const {
    DWORD v;
    std::memcpy(&v, &bytes_[at_ + offset], 4);
    return v;
  }
  LONGLONG I64(size_t offset) const {
    LONGLONG v;
    std::memcpy(&v, &bytes_[at_ + offset], 8);
    return v;
  }
  // False when the field holds no terminator.
  bool Text(size_t offset, size_t units, std::wstring* text) const {
    for (size_t i = 0; i < units; ++i) {
      wchar_t c;
      std::memcpy(&c, &bytes_[at_ + offset + i * 2], 2);
      if (c == L'\0') return true;
      text->push_back(c);
    }
    return false;
  }
  void Skip(size_t size) { at_ += size; }

 private:
  const std::vector<BYTE>& bytes_;
  size_t at_;
};

// Far beyond any queue: a bigger file is not read as one.
constexpr LONGLONG kLargestStore = 1LL << 30;

// The whole buffer in one write, on the disk before this returns.
HRESULT WriteWholeFile(const wchar_t* path, const std::vector<BYTE>& bytes) {
  com::UniqueFile file(CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  RETURN_IF_WIN32_BOOL_FALSE(file);
  DWORD written = 0;
  RETURN_IF_WIN32_BOOL_FALSE(WriteFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
  RETURN_HR_IF(HRESULT_FROM_WIN32(ERROR_WRITE_FAULT), written != bytes.size());
  RETURN_IF_WIN32_BOOL_FALSE(FlushFileBuffers(file.Get()));
  return S_OK;
}

// A database or user id is part of a file name: none of the characters a file name may not
// hold (so no separator, and no way out of the store folder), and no trailing dot or space,
// which the file system would drop ("." and ".." among them). Dots inside are fine.
bool NameIsSafe(const std::wstring& name) {
  if (name.empty() || name.back() == L'.' || name.back() == L' ') return false;
  for (wchar_t c : name)
    if (c < 0x20 || std::wcschr(L"\\/:*?\"<>|", c)) return false;
  return true;
}

}  // namespace

HRESULT TaskStorePath(const std::wstring& database, const std::wstring& user, std::wstring* path) {
  RETURN_HR_IF(E_FAIL, !NameIsSafe(database) || !NameIsSafe(user));
  wchar_t windows[MAX_PATH];
  const UINT n = GetWindowsDirectoryW(windows, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return E_FAIL;
  std::wstring full = std::wstring(windows, n) + L"\\ovtransfer\\" + database + L"_" + user + L".ini";
  if (full.size() >= kPathCapacity) return E_FAIL;
  *path = std::move(full);
  return S_OK;
}

std::vector<BYTE> EncodeTaskStore(const std::vector<UploadTask>& tasks) {
  DWORD count = 0;
  size_t size = kStoreHeaderSize;
  for (const UploadTask& t : tasks) {
    if (t.state == TASK_DONE) continue;
    ++count;
    size += kStoreTaskSize + t.files.size() * kStoreEntrySize;
  }
  std::vector<BYTE> bytes(size);
  Writer w(bytes.data());
  w.U32(TASK_STORE_MAGIC);
  w.U32(kTaskStoreVersion);
  w.U32(count);
  w.U32(0);
  for (const UploadTask& t : tasks) {
    if (t.state == TASK_DONE) continue;
    w.U32(t.flags);
    w.U32(t.state);
    w.Text(t.title, kTitleCapacity);
    w.U32(t.progress);
    w.Text(t.address_text, kAddressCapacity);
    w.U32(t.ipv4);
    w.U32(t.port);
    w.Text(t.first_remote_name, kRemoteNameCapacity);
    w.U32(t.id);
    w.I64(t.total_size);
    w.U32(t.current_file);
    w.U32(t.retries);
    w.U32(static_cast<DWORD>(t.files.size()));
    w.U32(0);
    for (const UploadFile& f : t.files) {
      w.Text(f.local_path, kPathCapacity);
      w.Text(f.remote_name, kRemoteNameCapacity);
      w.Text(f.relative_name, kRelativeNameCapacity);
      w.I64(f.size);
      w.I64(f.done);
      w.U32(f.state);
      w.U32(f.flags);
      w.U32(f.id);
      w.U32(0);
    }
  }
  assert(w.At() == bytes.data() + bytes.size());
  return bytes;
}

StoreDamage DecodeTaskStore(const std::vector<BYTE>& bytes, std::vector<UploadTask>* tasks) {
  if (bytes.size() < kStoreHeaderSize) return StoreDamage::kHeader;
  Reader r(bytes, 0);
  if (r.U32(0) != TASK_STORE_MAGIC) return StoreDamage::kHeader;
  const DWORD count = r.U32(8);
  r.Skip(kStoreHeaderSize);
  // An announced count larger than the file could hold is damage, found before any work.
  if (count > r.Left() / kStoreTaskSize) return StoreDamage::kBlocks;
  for (DWORD i = 0; i < count; ++i) {
    if (r.Left() < kStoreTaskSize) return StoreDamage::kBlocks;
    UploadTask t;
    t.flags = r.U32(0);
    t.state = r.U32(4);
    t.progress = r.U32(2056);
    t.ipv4 = r.U32(2580);
    t.port = r.U32(2584);
    t.total_size = r.I64(4640);
    t.current_file = r.U32(4648);
    t.retries = r.U32(4652);
    const DWORD entries = r.U32(4656);
    if (!r.Text(8, kTitleCapacity, &t.title) || !r.Text(2060, kAddressCapacity, &t.address_text) ||
        !r.Text(2588, kRemoteNameCapacity, &t.first_remote_name))
      return StoreDamage::kBlocks;
    r.Skip(kStoreTaskSize);
    if (entries > r.Left() / kStoreEntrySize) return StoreDamage::kBlocks;
    t.files.reserve(entries);
    for (DWORD e = 0; e < entries; ++e) {
      UploadFile f;
      if (!r.Text(0, kPathCapacity, &f.local_path) || !r.Text(520, kRemoteNameCapacity, &f.remote_name) ||
          !r.Text(2568, kRelativeNameCapacity, &f.relative_name))
        return StoreDamage::kBlocks;
      f.size = r.I64(3088);
      f.done = r.I64(3096);
      f.state = r.U32(3104);
      f.flags = r.U32(3108);
      f.id = r.U32(3112);
      t.files.push_back(std::move(f));
      r.Skip(kStoreEntrySize);
    }
    tasks->push_back(std::move(t));
  }
  return StoreDamage::kNone;
}

HRESULT ReplaceFileAtomically(const std::wstring& path, const std::vector<BYTE>& bytes) {
  const std::wstring folder = path.substr(0, path.find_last_of(L'\\'));
  RETURN_IF_WIN32_BOOL_FALSE(CreateDirectoryW(folder.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS);
  wchar_t temp[MAX_PATH];
  RETURN_IF_WIN32_BOOL_FALSE(GetTempFileNameW(folder.c_str(), L"ovq", 0, temp));
  HRESULT hr = WriteWholeFile(temp, bytes);
  if (SUCCEEDED(hr) && !MoveFileExW(temp, path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    hr = com::LastFailure();
  if (FAILED(hr)) DeleteFileW(temp);
  return hr;
}

HRESULT ReadWholeFile(const std::wstring& path, std::vector<BYTE>* bytes) {
  com::UniqueFile file(
      CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  RETURN_IF_WIN32_BOOL_FALSE(file);
  LARGE_INTEGER size = {};
  RETURN_IF_WIN32_BOOL_FALSE(GetFileSizeEx(file.Get(), &size));
  RETURN_HR_IF(E_FAIL, size.QuadPart > kLargestStore);
  bytes->resize(static_cast<size_t>(size.QuadPart));
  DWORD read = 0;
  if (!bytes->empty() && (!ReadFile(file.Get(), bytes->data(), static_cast<DWORD>(bytes->size()), &read, nullptr) ||
                          read != bytes->size()))
    bytes->resize(read);  // what could be read; the decoder finds it short
  return S_OK;
}
