// The users file: who may upload, with which password.
#pragma once

#include <map>
#include <stdexcept>
#include <string>
#include <string_view>

namespace ovr {

struct UsersError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

class Users {
 public:
  // Lines "user:password" (the first ':' separates), '#' comment lines and empty lines
  // ignored. Throws UsersError naming the line of the first fault.
  static Users Parse(std::string_view text);
  static Users Load(const std::string& path);

  bool Check(std::string_view user, std::string_view password) const;
  size_t size() const { return passwords_.size(); }

 private:
  std::map<std::string, std::string, std::less<>> passwords_;
};

}  // namespace ovr
