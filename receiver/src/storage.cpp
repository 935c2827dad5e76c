#include "storage.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "metrics.h"
#include "paths.h"
#include "line_codec.h"

namespace fs = std::filesystem;

namespace ovr {
namespace {

std::string SystemError(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

// Partial data is named after a hash of user and name, so that any name (and any length
// of it) maps to one flat, safe file name; the size follows it.
std::string ClaimKey(const std::string& user, const std::string& path) {
  std::string text = user + '\0' + path;
  XXH128_hash_t h = XXH3_128bits(text.data(), text.size());
  return ovt::ChecksumText(h.high64) + ovt::ChecksumText(h.low64);
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
               uint64_t size, fs::path partial, uint64_t held, bool on_disk)
    : storage_(storage),
      key_(std::move(key)),
      user_(std::move(user)),
      path_(std::move(path)),
      size_(size),
      partial_(std::move(partial)),
      held_(held),
      on_disk_(on_disk),
      hash_(XXH64_createState()) {
  if (!hash_) throw std::bad_alloc();
}

Upload::~Upload() {
  fd_.Reset();
  if (!replaced_.empty()) ::unlink(replaced_.c_str());
  XXH64_freeState(hash_);
  storage_.Release(key_, held_, on_disk_);
}

Status Upload::From(uint64_t from, uint64_t& offset) {
  fd_.Reset();
  offset = std::min(from, held_);
  if (::mkdir(partial_.parent_path().c_str(), 0755) != 0 && errno != EEXIST)
    return Status::Error(500, SystemError("cannot make partial folder"));
  fd_.Reset(::open(partial_.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
  if (!fd_.Valid()) return Status::Error(500, SystemError("cannot open partial file"));
  on_disk_ = true;
  if (::ftruncate(fd_.Get(), static_cast<off_t>(offset)) != 0) {
    Status s = Status::Error(500, SystemError("cannot truncate partial file"));
    fd_.Reset();
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
    if (!WriteAll(fd_.Get(), data, length, received_, written)) write_error_ = SystemError("cannot write partial file");
    if (!resumed_) XXH64_update(hash_, data, written);
    held_ = received_ + written;
  }
  received_ += length;
}

Status Upload::HashPartial(uint64_t& value) {
  UniqueFd fd(::open(partial_.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.Valid()) return Status::Error(500, SystemError("cannot read partial file"));
  XXH64_reset(hash_, 0);
  std::vector<char> buffer(1 << 20);
  uint64_t at = 0;
  for (;;) {
    ssize_t n = ::pread(fd.Get(), buffer.data(), buffer.size(), static_cast<off_t>(at));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return Status::Error(500, SystemError("cannot read partial file"));
    if (n == 0) break;
    XXH64_update(hash_, buffer.data(), static_cast<size_t>(n));
    at += static_cast<uint64_t>(n);
  }
  value = XXH64_digest(hash_);
  return Status::Ok();
}

Status Upload::End(uint64_t checksum) {
  if (!write_error_.empty()) {
    fd_.Reset();
    return Status::Error(500, write_error_);
  }
  struct stat st;
  if (::fstat(fd_.Get(), &st) != 0) return Status::Error(500, SystemError("cannot check partial file"));
  uint64_t actual = 0;
  if (resumed_) {
    Status s = HashPartial(actual);
    if (!s.ok()) return s;
  } else {
    actual = XXH64_digest(hash_);
  }
  if (static_cast<uint64_t>(st.st_size) != size_ || actual != checksum) {
    fd_.Reset();
    ::unlink(partial_.c_str());
    held_ = 0;
    on_disk_ = false;
    storage_.Ended(key_);
    return Status::Error(409, static_cast<uint64_t>(st.st_size) != size_
                                  ? "size mismatch, partial data discarded"
                                  : "checksum mismatch (received " + ovt::ChecksumText(actual) +
                                        "), partial data discarded");
  }
  if (storage_.sync_ && ::fdatasync(fd_.Get()) != 0) return Status::Error(500, SystemError("cannot flush file"));
  fd_.Reset();

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
  on_disk_ = false;
  storage_.Ended(key_);
  storage_.log_.File(user_, size_, checksum, path_);
  return Status::Ok();
}

Storage::Storage(fs::path root, EventLog& log, bool sync, const Limits& limits)
    : root_(std::move(root)),
      partial_dir_(root_ / kPrivateFolder / "partial"),
      temp_dir_(root_ / kPrivateFolder / "tmp"),
      log_(log),
      sync_(sync),
      partial_bytes_per_user_(limits.partial_bytes_per_user),
      partial_max_age_(limits.partial_max_age) {
  std::error_code ec;
  fs::create_directories(partial_dir_, ec);
  if (!ec) fs::create_directories(temp_dir_, ec);
  if (ec) throw std::runtime_error("cannot make " + partial_dir_.string() + ": " + ec.message());
  private_real_ = fs::canonical(root_ / kPrivateFolder, ec);
  if (ec) throw std::runtime_error("cannot resolve " + (root_ / kPrivateFolder).string() + ": " + ec.message());
  // Half-written stills of an earlier run are of no use to anyone.
  for (const auto& entry : fs::directory_iterator(temp_dir_, ec)) fs::remove(entry.path(), ec);
  IndexPartials();
  RemoveOldPartials();
}

fs::path Storage::PartialPath(const std::string& key, const Partial& p) const {
  return partial_dir_ / p.user_dir / (key + '-' + std::to_string(p.size));
}

// Partial files are <user folder>/<key>-<size>; files straight in the partial folder come
// from earlier versions, which kept no user folders.
void Storage::IndexPartials() {
  auto parse = [](const fs::path& file, std::string& key, uint64_t& size) {
    std::string name = file.filename().string();
    size_t dash = name.rfind('-');
    if (dash == std::string::npos) return false;
    key = name.substr(0, dash);
    return ovt::ParseNumber(name.substr(dash + 1), &size);
  };
  auto info = [](const fs::path& file, uint64_t& bytes, std::time_t& touched) {
    struct stat st;
    if (::lstat(file.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    bytes = static_cast<uint64_t>(st.st_size);
    touched = st.st_mtime;
    return true;
  };
  std::error_code ec;
  for (const auto& top : fs::directory_iterator(partial_dir_, ec)) {
    std::string key;
    uint64_t size = 0, bytes = 0;
    std::time_t touched = 0;
    if (top.is_directory(ec)) {
      std::string user_dir = top.path().filename().string();
      for (const auto& entry : fs::directory_iterator(top.path(), ec)) {
        if (!parse(entry.path(), key, size) || !info(entry.path(), bytes, touched)) continue;
        auto it = partials_.find(key);
        if (it != partials_.end()) {  // two sizes of one file: only the newer is of use
          if (it->second.touched >= touched) {
            fs::remove(entry.path(), ec);
            continue;
          }
          Drop(it);
        }
        Partial& p = partials_[key];
        p.user_dir = user_dir;
        p.size = size;
        p.held = std::min(bytes, size);
        p.on_disk = true;
        p.touched = touched;
        Count(p, p.held);
      }
    } else if (parse(top.path(), key, size) && info(top.path(), bytes, touched)) {
      legacy_[key] = Legacy{size, top.path(), touched};
    }
  }
}

void Storage::Drop(std::unordered_map<std::string, Partial>::iterator it) {
  Partial& p = it->second;
  if (p.on_disk) ::unlink(PartialPath(it->first, p).c_str());
  Count(p, 0);
  partials_.erase(it);
}

void Storage::Count(Partial& p, uint64_t bytes) {
  uint64_t& total = user_bytes_[p.user_dir];
  total = total - std::min(total, p.counted) + bytes;
  p.counted = bytes;
  if (total == 0) user_bytes_.erase(p.user_dir);
}

void Storage::Ended(const std::string& key) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = partials_.find(key);
  if (it != partials_.end()) Count(it->second, 0);
}

void Storage::RemoveOldPartials() {
  std::time_t oldest = std::time(nullptr) - static_cast<std::time_t>(partial_max_age_.count());
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto it = partials_.begin(); it != partials_.end();) {
    auto next = std::next(it);
    if (!it->second.active && it->second.touched < oldest) Drop(it);
    it = next;
  }
  for (auto it = legacy_.begin(); it != legacy_.end();) {
    if (it->second.touched < oldest) {
      ::unlink(it->second.path.c_str());
      it = legacy_.erase(it);
    } else {
      ++it;
    }
  }
}

uint64_t Storage::PartialBytes(const std::string& user) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = user_bytes_.find(ovt::ChecksumText(XXH3_64bits(user.data(), user.size())));
  return it == user_bytes_.end() ? 0 : it->second;
}

Status Storage::MakeFolder(const std::string& path) {
  std::string problem = PlaceProblem(path);
  if (problem.empty()) problem = Obstacle(root_, path, true);
  if (!problem.empty()) return Status::Error(403, problem);
  std::error_code ec;
  fs::create_directories(root_ / path, ec);
  if (ec) return Status::Error(500, "cannot make folder: " + ec.message());
  return Status::Ok();
}

// Names that pass the text rules may still not be placeable: too long once under the root,
// or, through a link an administrator made, inside the receiver's own folder.
std::string Storage::PlaceProblem(const std::string& path) const {
  fs::path full = root_ / path;
  if (full.native().size() >= PATH_MAX) return "name too long for the receiver's folder";
  std::error_code ec;
  fs::path real = fs::weakly_canonical(full, ec);
  if (ec) return "name cannot be resolved: " + ec.message();
  const std::string& r = real.native();
  const std::string& p = private_real_.native();
  if (r.compare(0, p.size(), p) == 0 && (r.size() == p.size() || r[p.size()] == '/'))
    return "name is in the receiver's own folder";
  return {};
}

Status Storage::Begin(const std::string& user, const std::string& path, uint64_t size,
                      std::unique_ptr<Upload>& upload) {
  std::shared_ptr<ClaimHolder> stale;
  return Begin(Claimant{user, 0, {}}, path, size, upload, stale);
}

Status Storage::Begin(const Claimant& claimant, const std::string& path, uint64_t size,
                      std::unique_ptr<Upload>& upload, std::shared_ptr<ClaimHolder>& stale) {
  std::string problem = PlaceProblem(path);
  if (problem.empty()) problem = Obstacle(root_, path, false);
  if (!problem.empty()) return Status::Error(403, problem);
  const std::string key = ClaimKey(claimant.user, path);
  const std::string user_dir =
      ovt::ChecksumText(XXH3_64bits(claimant.user.data(), claimant.user.size()));
  fs::path partial;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = partials_.find(key);
    if (it != partials_.end() && it->second.active) {
      Partial& p = it->second;
      if (p.size == size && p.since < claimant.since) stale = p.holder.lock();
      Status s = Status::Error(500, "this file is being uploaded on another connection");
      s.busy = true;
      return s;
    }
    // Data kept for the same name with another size is of no use any more.
    if (it != partials_.end() && it->second.size != size) {
      Drop(it);
      it = partials_.end();
    }
    auto old = legacy_.find(key);
    if (old != legacy_.end()) {
      Legacy legacy = old->second;
      legacy_.erase(old);
      if (it == partials_.end() && legacy.size == size) {
        Partial moved;
        moved.user_dir = user_dir;
        moved.size = size;
        fs::path to = PartialPath(key, moved);
        ::mkdir(to.parent_path().c_str(), 0755);
        if (::rename(legacy.path.c_str(), to.c_str()) == 0) {
          struct stat st;
          moved.on_disk = true;
          moved.held = ::stat(to.c_str(), &st) == 0 ? std::min<uint64_t>(st.st_size, size) : 0;
          moved.touched = legacy.touched;
          it = partials_.emplace(key, moved).first;
          Count(it->second, moved.held);
        }
      } else {
        ::unlink(legacy.path.c_str());
      }
    }
    uint64_t counted = it != partials_.end() ? it->second.counted : 0;
    auto user = user_bytes_.find(user_dir);
    uint64_t others = (user == user_bytes_.end() ? 0 : user->second) - counted;
    // The whole file is kept aside until END: it counts in full from PUT on.
    if (size > partial_bytes_per_user_ || others > partial_bytes_per_user_ - size) {
      metrics().Hit(Limit::kPartialBytesPerUser);
      return Status::Error(500, "unfinished uploads of this user would hold " +
                                    std::to_string(others + size) + " bytes, over the limit of " +
                                    std::to_string(partial_bytes_per_user_) +
                                    "; finish or restart them first");
    }
    if (it == partials_.end()) it = partials_.emplace(key, Partial{}).first;
    Partial& p = it->second;
    p.user_dir = user_dir;
    Count(p, size);
    p.size = size;
    p.active = true;
    p.since = claimant.since;
    p.holder = claimant.holder;
    partial = PartialPath(key, p);
  }
  // The claim is ours: nobody else touches the partial file until the Upload goes.
  uint64_t held = 0;
  struct stat st;
  bool on_disk = ::stat(partial.c_str(), &st) == 0 && S_ISREG(st.st_mode);
  if (on_disk) held = std::min<uint64_t>(static_cast<uint64_t>(st.st_size), size);
  upload.reset(new Upload(*this, key, claimant.user, path, size, partial, held, on_disk));
  return Status::Ok();
}

void Storage::Release(const std::string& key, uint64_t held, bool on_disk) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = partials_.find(key);
  if (it == partials_.end()) return;
  Partial& p = it->second;
  p.active = false;
  p.holder.reset();
  p.on_disk = on_disk;
  p.held = on_disk ? std::min(held, p.size) : 0;
  p.touched = std::time(nullptr);
  Count(p, p.held);
  if (!on_disk) partials_.erase(it);
}

Status Storage::StoreStill(std::string_view data, std::string_view hint, std::string& path) {
  fs::path stills = root_ / "stills";
  std::error_code ec;
  fs::create_directories(stills, ec);
  if (ec) return Status::Error(500, "cannot make stills folder: " + ec.message());

  // Written aside first and linked into place, so that a still appears whole or not at
  // all, and link(2) refuses a name already taken.
  std::string temp = (temp_dir_ / "still-XXXXXX").string();
  UniqueFd fd(::mkstemp(temp.data()));
  if (!fd.Valid()) return Status::Error(500, SystemError("cannot create still"));
  ::fchmod(fd.Get(), 0644);  // mkstemp makes it private; stills are ordinary site files
  size_t written = 0;
  bool ok = WriteAll(fd.Get(), data.data(), data.size(), 0, written);
  Status failure = ok ? Status::Ok() : Status::Error(500, SystemError("cannot write still"));
  fd.Reset();
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
      if (ovt::ParseNumber(name.substr(0, name.find_first_not_of("0123456789")), &n) && n >= next_still_)
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
