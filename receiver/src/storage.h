// Where uploads go: partial data kept aside under the private folder, moved into place
// with rename(2) once size and checksum are confirmed.
#pragma once

#include <cstdint>
#include <ctime>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

#include <xxhash.h>

#include "config.h"
#include "event_log.h"
#include "unique_fd.h"

namespace ovr {

// Outcome of a storage step: code 0, or the protocol's error code with a message for
// people.
struct Status {
  int code = 0;
  std::string message;
  bool busy = false;  // another connection holds the file: worth asking again shortly
  bool ok() const { return code == 0; }
  static Status Ok() { return {}; }
  static Status Error(int code, std::string message) { return {code, std::move(message)}; }
};

class Storage;

// The connection that holds a file's claim, as far as storage needs to know it.
class ClaimHolder {
 public:
  virtual ~ClaimHolder() = default;
  // Called from any thread: the connection closes and lets its file go (every write of it
  // ended), then done is called.
  virtual void Revoke(std::function<void()> done) = 0;
};

// Who asks for a file at PUT.
struct Claimant {
  std::string user;
  uint64_t since = 0;  // the connection's login order: a later login may take a claim over
  std::weak_ptr<ClaimHolder> holder;
};

// One file of one session, from PUT to END. Holds the file's claim: no other connection
// can upload the same user and name while this object lives.
class Upload {
 public:
  ~Upload();
  Upload(const Upload&) = delete;
  Upload& operator=(const Upload&) = delete;

  uint64_t size() const { return size_; }
  uint64_t held() const { return held_; }
  // Continues at min(from, held), dropping held data beyond it.
  Status From(uint64_t from, uint64_t& offset);
  // Bytes still due after From.
  uint64_t due() const { return size_ - received_; }
  // Appends received bytes. A write failure is remembered and later bytes are discarded
  // (the client keeps sending until END, which then reports it).
  void Write(const char* data, size_t length);
  // Checks size and checksum; on a match moves the file into place and logs it. Keep the
  // object until the answer is sent: dropping it removes a replaced older file.
  Status End(uint64_t checksum);

 private:
  friend class Storage;
  Upload(Storage& storage, std::string key, std::string user, std::string path, uint64_t size,
         std::filesystem::path partial, uint64_t held, bool on_disk);
  Status HashPartial(uint64_t& value);

  Storage& storage_;
  const std::string key_, user_, path_;
  const uint64_t size_;
  const std::filesystem::path partial_;
  uint64_t held_;
  uint64_t received_ = 0;  // position in the file of the next byte to come
  UniqueFd fd_;
  bool on_disk_;           // the partial file exists
  bool resumed_ = false;  // started past byte 0: the checksum is computed from disk at END
  std::string write_error_;
  std::filesystem::path replaced_;  // the older file, removed when this object goes
  XXH64_state_t* hash_;
};

class Storage {
 public:
  // Creates the root and the private folders; throws std::runtime_error on failure.
  // With sync set, file data reaches the disk before a file is moved into place.
  // Partial data of earlier runs is indexed here, and what is older than the limits allow
  // is removed.
  Storage(std::filesystem::path root, EventLog& log, bool sync, const Limits& limits = {});

  const std::filesystem::path& root() const { return root_; }
  EventLog& log() { return log_; }

  // MKDIR: creates a folder (and its parents) below the root.
  Status MakeFolder(const std::string& path);
  // PUT: checks that the file can go to path and claims it. When another connection holds
  // the claim the status is busy; stale is then set when that connection logged in before
  // the claimant and announced the same size: it may be revoked, and the PUT asked again.
  Status Begin(const Claimant& claimant, const std::string& path, uint64_t size,
               std::unique_ptr<Upload>& upload, std::shared_ptr<ClaimHolder>& stale);
  Status Begin(const std::string& user, const std::string& path, uint64_t size,
               std::unique_ptr<Upload>& upload);
  // Removes unfinished uploads that nobody touched for longer than the limit allows.
  void RemoveOldPartials();
  // Bytes the user's unfinished uploads count against the user's limit.
  uint64_t PartialBytes(const std::string& user);
  // Stores a still under stills/ with a fresh unique name "<n>-<hint>.jpg"; hint must be
  // file-name safe. Gives the stored path relative to the root.
  Status StoreStill(std::string_view data, std::string_view hint, std::string& path);

 private:
  friend class Upload;
  // One unfinished upload: its partial file (when on disk) and its claim (when active).
  struct Partial {
    std::string user_dir;
    uint64_t size = 0;
    uint64_t held = 0;     // bytes on disk while not active
    uint64_t counted = 0;  // against the user's limit: the whole size while active
    bool on_disk = false;
    bool active = false;
    std::time_t touched = 0;
    uint64_t since = 0;
    std::weak_ptr<ClaimHolder> holder;
  };
  std::filesystem::path PartialPath(const std::string& key, const Partial& p) const;
  void Release(const std::string& key, uint64_t held, bool on_disk);
  // An upload ended (placed or discarded): it no longer counts against its user.
  void Ended(const std::string& key);
  void Count(Partial& p, uint64_t bytes);  // under mutex_
  void Drop(std::unordered_map<std::string, Partial>::iterator it);  // under mutex_
  void IndexPartials();
  std::string PlaceProblem(const std::string& path) const;

  const std::filesystem::path root_;
  const std::filesystem::path partial_dir_;
  const std::filesystem::path temp_dir_;
  std::filesystem::path private_real_;  // the private folder with every link resolved
  EventLog& log_;
  const bool sync_;
  const uint64_t partial_bytes_per_user_;
  const std::chrono::seconds partial_max_age_;
  std::mutex mutex_;
  // By claim key; found in constant time whatever the number of unfinished uploads.
  std::unordered_map<std::string, Partial> partials_;
  // By user folder: bytes held by inactive partials plus whole sizes of active uploads.
  std::unordered_map<std::string, uint64_t> user_bytes_;
  // Partial files of earlier versions, kept flat in the partial folder: taken over by the
  // first PUT that names them.
  struct Legacy {
    uint64_t size;
    std::filesystem::path path;
    std::time_t touched;
  };
  std::unordered_map<std::string, Legacy> legacy_;
  uint64_t next_still_ = 0;  // 0 until the stills folder was scanned
};

}  // namespace ovr
