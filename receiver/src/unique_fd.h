// A file descriptor that is closed exactly once, by its owner.
#pragma once

#include <unistd.h>

#include <utility>

namespace ovr {

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& o) noexcept : fd_(o.Release()) {}
  UniqueFd& operator=(UniqueFd&& o) noexcept {
    if (this != &o) Reset(o.Release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { Reset(); }

  void Reset(int fd = -1) {
    const int old = std::exchange(fd_, fd);
    if (old >= 0) ::close(old);
  }
  // Closes now and says whether close(2) succeeded (errno tells why not): a file's delayed
  // write error surfaces only here.
  bool Close() {
    const int fd = Release();
    return fd < 0 || ::close(fd) == 0;
  }
  int Release() { return std::exchange(fd_, -1); }
  int Get() const { return fd_; }
  bool Valid() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

}  // namespace ovr
