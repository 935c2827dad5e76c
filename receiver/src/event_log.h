// The completed-files log: one tab-separated line per event, written whole and at once so
// that a script following the file never sees half a line.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

#include "unique_fd.h"

namespace ovr {

class EventLog {
 public:
  explicit EventLog(const std::string& path);  // appends; throws std::runtime_error
  // Opens the path again, so lines go to a fresh file once logrotate moved the old one
  // away; every line before is in the old file. On failure keeps writing to the old one.
  void Reopen();  // throws std::runtime_error
  EventLog(const EventLog&) = delete;
  EventLog& operator=(const EventLog&) = delete;

  void File(std::string_view user, uint64_t size, uint64_t checksum, std::string_view path);
  void Duration(std::string_view target, std::string_view seconds);
  void Still(std::string_view target, std::string_view seconds, uint64_t size,
             std::string_view path);

 private:
  void Write(std::string line);
  const std::string path_;
  UniqueFd fd_;
  std::mutex mutex_;
};

// A field as the log writes it: tabs, line ends and other control bytes, and '%' itself,
// become %XX, so that every line splits cleanly on tabs.
std::string LogField(std::string_view text);

}  // namespace ovr
