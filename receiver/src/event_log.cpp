#include "event_log.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "line_codec.h"

namespace ovr {

// Tabs and line ends cannot appear in a field; spaces read well as they are.
std::string LogField(std::string_view text) { return ovt::PercentEncode(text, true); }

namespace {

int OpenLog(const std::string& path) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) throw std::runtime_error("cannot open log " + path + ": " + std::strerror(errno));
  return fd;
}

}  // namespace

EventLog::EventLog(const std::string& path) : path_(path), fd_(OpenLog(path)) {}

void EventLog::Reopen() {
  UniqueFd fd(OpenLog(path_));
  std::lock_guard<std::mutex> lock(mutex_);
  std::swap(fd, fd_);  // the old log is closed once no line is being written to it
}

void EventLog::File(std::string_view user, uint64_t size, uint64_t checksum,
                    std::string_view path) {
  Write("FILE\t" + LogField(user) + '\t' + std::to_string(size) + '\t' +
        ovt::ChecksumText(checksum) + '\t' + LogField(path) + '\n');
}

void EventLog::Duration(std::string_view target, std::string_view seconds) {
  Write("DURATION\t" + LogField(target) + '\t' + LogField(seconds) + '\n');
}

void EventLog::Still(std::string_view target, std::string_view seconds, uint64_t size,
                     std::string_view path) {
  Write("STILL\t" + LogField(target) + '\t' + LogField(seconds) + '\t' + std::to_string(size) +
        '\t' + LogField(path) + '\n');
}

void EventLog::Write(std::string line) {
  // One write(2) per line on an O_APPEND descriptor: the line is in the file when this
  // returns, and lines from several connections never interleave.
  std::lock_guard<std::mutex> lock(mutex_);
  const char* p = line.data();
  size_t left = line.size();
  while (left > 0) {
    ssize_t n = ::write(fd_.Get(), p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {  // a full disk loses the log line, never the upload itself
      std::fprintf(stderr, "ovreceiver: cannot write log: %s\n", std::strerror(errno));
      return;
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
}

}  // namespace ovr
