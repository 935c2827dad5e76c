// Where uploads go: partial data kept aside under the private folder, moved into place
// with rename(2) once size and checksum are confirmed.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>

#include <xxhash.h>

#include "event_log.h"

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
         std::filesystem::path partial, uint64_t held);
  Status HashPartial(uint64_t& value);
  void Close();

  Storage& storage_;
  const std::string key_, user_, path_;
  const uint64_t size_;
  const std::filesystem::path partial_;
  uint64_t held_;
  uint64_t received_ = 0;  // position in the file of the next byte to come
  int fd_ = -1;
  bool resumed_ = false;  // started past byte 0: the checksum is computed from disk at END
  std::string write_error_;
  std::filesystem::path replaced_;  // the older file, removed when this object goes
  XXH64_state_t* hash_;
};

class Storage {
 public:
  // Creates the root and the private folders; throws std::runtime_error on failure.
  // With sync set, file data reaches the disk before a file is moved into place.
  Storage(std::filesystem::path root, EventLog& log, bool sync);

  const std::filesystem::path& root() const { return root_; }
  EventLog& log() { return log_; }

  // MKDIR: creates a folder (and its parents) below the root.
  Status MakeFolder(const std::string& path);
  // PUT: checks that the file can go to path and claims it.
  Status Begin(const std::string& user, const std::string& path, uint64_t size,
               std::unique_ptr<Upload>& upload);
  // Stores a still under stills/ with a fresh unique name "<n>-<hint>.jpg"; hint must be
  // file-name safe. Gives the stored path relative to the root.
  Status StoreStill(std::string_view data, std::string_view hint, std::string& path);

 private:
  friend class Upload;
  void Release(const std::string& key);

  const std::filesystem::path root_;
  const std::filesystem::path partial_dir_;
  const std::filesystem::path temp_dir_;
  EventLog& log_;
  const bool sync_;
  std::mutex mutex_;
  std::set<std::string> claims_;
  uint64_t next_still_ = 0;  // 0 until the stills folder was scanned
};

}  // namespace ovr
