#include "task_store.h"

#include <cstring>

#include "../com/status.h"

namespace {

class Writer {
 public:
  explicit Writer(std::vector<BYTE>& out) : out_(out) {}
  void U32(DWORD v) { Raw(&v, 4); }
  void I64(LONGLONG v) { Raw(&v, 8); }
  // The text, then zeros to the end of its field of `units` UTF-16 units.
  void Text(const std::wstring& text, size_t units) {
    const size_t chars = text.size() < units ? text.size() : units - 1;
    Raw(text.data(), chars * 2);
    out_.insert(out_.end(), (units - chars) * 2, 0);
  }

 private:
  void Raw(const void* data, size_t size) {
    const BYTE* b = static_cast<const BYTE*>(data);
    out_.insert(out_.end(), b, b + size);
  }
  std::vector<BYTE>& out_;
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
  if (!NameIsSafe(database) || !NameIsSafe(user)) return E_FAIL;
  wchar_t windows[MAX_PATH];
  const UINT n = GetWindowsDirectoryW(windows, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return E_FAIL;
  std::wstring full = std::wstring(windows, n) + L"\\ovtransfer\\" + database + L"_" + user + L".ini";
  if (full.size() >= kPathCapacity) return E_FAIL;
  *path = std::move(full);
  return S_OK;
}

std::vector<BYTE> EncodeTaskStore(const std::vector<UploadTask>& tasks) {
  std::vector<BYTE> bytes;
  Writer w(bytes);
  DWORD count = 0;
  for (const UploadTask& t : tasks) count += t.state != TASK_DONE;
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
  const auto failure = [] { return GetLastError() ? com::LastErrorStatus() : E_FAIL; };
  const std::wstring folder = path.substr(0, path.find_last_of(L'\\'));
  if (!CreateDirectoryW(folder.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) return failure();
  wchar_t temp[MAX_PATH];
  if (!GetTempFileNameW(folder.c_str(), L"ovq", 0, temp)) return failure();
  HANDLE file = CreateFileW(temp, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  HRESULT hr = S_OK;
  if (file == INVALID_HANDLE_VALUE) {
    hr = failure();
  } else {
    DWORD written = 0;
    if (!WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ||
        written != bytes.size() || !FlushFileBuffers(file))
      hr = failure();
    CloseHandle(file);
  }
  if (hr == S_OK && !MoveFileExW(temp, path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    hr = failure();
  if (hr != S_OK) DeleteFileW(temp);
  return hr;
}

HRESULT ReadWholeFile(const std::wstring& path, std::vector<BYTE>* bytes) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return com::LastErrorStatus();
  LARGE_INTEGER size = {};
  HRESULT hr = S_OK;
  if (!GetFileSizeEx(file, &size) || size.QuadPart > (1LL << 30)) {
    hr = GetLastError() ? com::LastErrorStatus() : E_FAIL;
  } else {
    bytes->resize(static_cast<size_t>(size.QuadPart));
    DWORD read = 0;
    if (!bytes->empty() && (!ReadFile(file, bytes->data(), static_cast<DWORD>(bytes->size()), &read, nullptr) ||
                            read != bytes->size()))
      bytes->resize(read);  // what could be read; the decoder finds it short
  }
  CloseHandle(file);
  return hr;
}
