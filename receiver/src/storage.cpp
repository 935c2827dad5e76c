#include "storage.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "paths.h"
#include "protocol.h"

namespace fs = std::filesystem;

namespace ovr {
namespace {

std::string SystemError(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

// Partial data is named after a hash of user and name, so that any name (and any length
// of it) maps to one flat, safe file name; the size follows it.
std::string ClaimKey(const std::string& user, const std::string& path) {
  std::string text = user + '\0' + path;
  XXH128_hash_t h = XXH3_128bits(text.data(), text.size());
  return FormatChecksum(h.high64) + FormatChecksum(h.low64);
}

bool WriteAll(int fd, const char* data, size_t length, uint64_t offset, size_t& written) {
  written = 0;
  while (written < length) {
    ssize_t n = ::pwrite(fd, data + written, length - written,
                         static_cast<off_t>(offset + written));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = ENOSPC;
      return false;
    }
    written += static_cast<size_t>(n);
  }
  return true;
}

// A plain file or a parent that is not a folder stands in the way of path.
std::string Obstacle(const fs::path& root, const std::string& path, bool folder) {
  std::error_code ec;
  fs::path at = root;
  fs::path rel(path);
  for (auto it = rel.begin(); it != rel.end(); ++it) {
    at /= *it;
    bool last = std::next(it) == rel.end();
    fs::file_status st = fs::status(at, ec);
    if (ec || !fs::exists(st)) return {};  // nothing there yet: it will be made
    if (last && !folder) return fs::is_directory(st) ? "a folder has that name" : "";
    if (!fs::is_directory(st)) return "a file stands where a folder is needed";
  }
  return {};
}

}  // namespace

Upload::Upload(Storage& storage, std::string key, std::string user, std::string path,
               uint64_t size, fs::path partial, uint64_t held)
    : storage_(storage),
      key_(std::move(key)),
      user_(std::move(user)),
      path_(std::move(path)),
      size_(size),
      partial_(std::move(partial)),
      held_(held),
      hash_(XXH64_createState()) {
  if (!hash_) throw std::bad_alloc();
}

Upload::~Upload() {
  Close();
  if (!replaced_.empty()) ::unlink(replaced_.c_str());
  XXH64_freeState(hash_);
  storage_.Release(key_);
}

void Upload::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

Status Upload::From(uint64_t from, uint64_t& offset) {
  Close();
  offset = std::min(from, held_);
  fd_ = ::open(partial_.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  if (fd_ < 0) return Status::Error(500, SystemError("cannot open partial file"));
  if (::ftruncate(fd_, static_cast<off_t>(offset)) != 0) {
    Status s = Status::Error(500, SystemError("cannot truncate partial file"));
    Close();
    return s;
  }
  held_ = offset;
  received_ = offset;
  resumed_ = offset > 0;
  write_error_.clear();
  XXH64_reset(hash_, 0);
  return Status::Ok();
}

void Upload::Write(const char* data, size_t length) {
  if (write_error_.empty()) {
    size_t written = 0;
    if (!WriteAll(fd_, data, length, received_, written))
      write_error_ = SystemError("cannot write partial file");
    if (!resumed_) XXH64_update(hash_, data, written);
    held_ = received_ + written;
  }
  received_ += length;
}

Status Upload::HashPartial(uint64_t& value) {
  int fd = ::open(partial_.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return Status::Error(500, SystemError("cannot read partial file"));
  XXH64_reset(hash_, 0);
  std::vector<char> buffer(1 << 20);
  uint64_t at = 0;
  for (;;) {
    ssize_t n = ::pread(fd, buffer.data(), buffer.size(), static_cast<off_t>(at));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      Status s = Status::Error(500, SystemError("cannot read partial file"));
      ::close(fd);
      return s;
    }
    if (n == 0) break;
    XXH64_update(hash_, buffer.data(), static_cast<size_t>(n));
    at += static_cast<uint64_t>(n);
  }
  ::close(fd);
  value = XXH64_digest(hash_);
  return Status::Ok();
}

Status Upload::End(uint64_t checksum) {
  if (!write_error_.empty()) {
    Close();
    return Status::Error(500, write_error_);
  }
  struct stat st;
  if (::fstat(fd_, &st) != 0) return Status::Error(500, SystemError("cannot check partial file"));
  uint64_t actual = 0;
  if (resumed_) {
    Status s = HashPartial(actual);
    if (!s.ok()) return s;
  } else {
    actual = XXH64_digest(hash_);
  }
  if (static_cast<uint64_t>(st.st_size) != size_ || actual != checksum) {
    Close();
    ::unlink(partial_.c_str());
    held_ = 0;
    return Status::Error(409, static_cast<uint64_t>(st.st_size) != size_
                                  ? "size mismatch, partial data discarded"
                                  : "checksum mismatch (received " + FormatChecksum(actual) +
                                        "), partial data discarded");
  }
  if (storage_.sync_ && ::fdatasync(fd_) != 0)
    return Status::Error(500, SystemError("cannot flush file"));
  Close();

  fs::path target = storage_.root_ / path_;
  std::error_code ec;
  fs::create_directories(target.parent_path(), ec);
  if (ec) return Status::Error(500, "cannot make folder: " + ec.message());
  struct stat existing;
  bool replacing = ::lstat(target.c_str(), &existing) == 0;
  if (replacing && S_ISDIR(existing.st_mode)) return Status::Error(500, "a folder has that name");
  // Replacing with a plain rename makes ext4 write the new file out before it returns
  // (about 0.15 s for 256 MiB); swapping the two names is just as atomic for readers and
  // leaves the old file to be removed once the client has its answer.
  if (replacing && ::renameat2(AT_FDCWD, partial_.c_str(), AT_FDCWD, target.c_str(),
                               RENAME_EXCHANGE) == 0) {
    replaced_ = storage_.temp_dir_ / ("replaced-" + key_);
    if (::rename(partial_.c_str(), replaced_.c_str()) != 0) ::unlink(partial_.c_str());
  } else if (::rename(partial_.c_str(), target.c_str()) != 0) {
    return Status::Error(500, SystemError("cannot move file into place"));
  }
  held_ = 0;
  storage_.log_.File(user_, size_, checksum, path_);
  return Status::Ok();
}

Storage::Storage(fs::path root, EventLog& log, bool sync)
    : root_(std::move(root)),
      partial_dir_(root_ / kPrivateFolder / "partial"),
      temp_dir_(root_ / kPrivateFolder / "tmp"),
      log_(log),
      sync_(sync) {
  std::error_code ec;
  fs::create_directories(partial_dir_, ec);
  if (!ec) fs::create_directories(temp_dir_, ec);
  if (ec) throw std::runtime_error("cannot make " + partial_dir_.string() + ": " + ec.message());
  // Half-written stills of an earlier run are of no use to anyone.
  for (const auto& entry : fs::directory_iterator(temp_dir_, ec)) fs::remove(entry.path(), ec);
}

Status Storage::MakeFolder(const std::string& path) {
  std::string obstacle = Obstacle(root_, path, true);
  if (!obstacle.empty()) return Status::Error(403, obstacle);
  std::error_code ec;
  fs::create_directories(root_ / path, ec);
  if (ec) return Status::Error(500, "cannot make folder: " + ec.message());
  return Status::Ok();
}

Status Storage::Begin(const std::string& user, const std::string& path, uint64_t size,
                      std::unique_ptr<Upload>& upload) {
  std::string obstacle = Obstacle(root_, path, false);
  if (!obstacle.empty()) return Status::Error(403, obstacle);
  std::string key = ClaimKey(user, path);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!claims_.insert(key).second) {
      Status s = Status::Error(500, "this file is being uploaded on another connection");
      s.busy = true;
      return s;
    }
  }
  // From here the claim is held; the Upload (or the guard on failure) gives it back.
  struct Guard {
    Storage* self;
    const std::string& key;
    ~Guard() {
      if (self) self->Release(key);
    }
  } guard{this, key};

  // Data kept for the same name with another size is of no use any more.
  const std::string prefix = key + '-';
  const std::string mine = prefix + std::to_string(size);
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(partial_dir_, ec)) {
    std::string name = entry.path().filename().string();
    if (name.compare(0, prefix.size(), prefix) == 0 && name != mine) fs::remove(entry.path(), ec);
  }
  if (ec) return Status::Error(500, "cannot read partial folder: " + ec.message());

  fs::path partial = partial_dir_ / mine;
  uint64_t held = 0;
  struct stat st;
  if (::stat(partial.c_str(), &st) == 0 && S_ISREG(st.st_mode))
    held = std::min<uint64_t>(static_cast<uint64_t>(st.st_size), size);
  upload.reset(new Upload(*this, key, user, path, size, partial, held));
  guard.self = nullptr;
  return Status::Ok();
}

void Storage::Release(const std::string& key) {
  std::lock_guard<std::mutex> lock(mutex_);
  claims_.erase(key);
}

Status Storage::StoreStill(std::string_view data, std::string_view hint, std::string& path) {
  fs::path stills = root_ / "stills";
  std::error_code ec;
  fs::create_directories(stills, ec);
  if (ec) return Status::Error(500, "cannot make stills folder: " + ec.message());

  // Written aside first and linked into place, so that a still appears whole or not at
  // all, and link(2) refuses a name already taken.
  std::string temp = (temp_dir_ / "still-XXXXXX").string();
  int fd = ::mkstemp(temp.data());
  if (fd < 0) return Status::Error(500, SystemError("cannot create still"));
  ::fchmod(fd, 0644);  // mkstemp makes it private; stills are ordinary site files
  size_t written = 0;
  bool ok = WriteAll(fd, data.data(), data.size(), 0, written);
  Status failure = ok ? Status::Ok() : Status::Error(500, SystemError("cannot write still"));
  ::close(fd);
  if (!ok) {
    ::unlink(temp.c_str());
    return failure;
  }

  std::lock_guard<std::mutex> lock(mutex_);
  if (next_still_ == 0) {
    next_still_ = 1;
    for (const auto& entry : fs::directory_iterator(stills, ec)) {
      uint64_t n = 0;
      std::string name = entry.path().filename().string();
      if (ParseU64(name.substr(0, name.find_first_not_of("0123456789")), n) && n >= next_still_)
        next_still_ = n + 1;
    }
  }
  for (;;) {
    std::string name = std::to_string(next_still_++);
    if (!hint.empty()) name += '-' + std::string(hint);
    name += ".jpg";
    if (::link(temp.c_str(), (stills / name).c_str()) == 0) {
      ::unlink(temp.c_str());
      path = "stills/" + name;
      return Status::Ok();
    }
    if (errno != EEXIST) {
      Status s = Status::Error(500, SystemError("cannot store still"));
      ::unlink(temp.c_str());
      return s;
    }
  }
}

}  // namespace ovr
