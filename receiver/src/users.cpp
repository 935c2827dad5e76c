#include "users.h"

#include <fstream>
#include <sstream>

#include "paths.h"

namespace ovr {
namespace {

// Compares without stopping at the first difference, so that timing tells nothing about
// how much of a password was right.
bool SameSecret(std::string_view given, std::string_view stored) {
  unsigned char diff = given.size() == stored.size() ? 0 : 1;
  for (size_t i = 0; i < stored.size(); ++i)
    diff |= static_cast<unsigned char>((i < given.size() ? given[i] : 0) ^ stored[i]);
  return diff == 0;
}

}  // namespace

Users Users::Parse(std::string_view text) {
  if (!IsValidUtf8(text)) throw UsersError("users file is not valid UTF-8");
  Users users;
  size_t number = 0;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(start, end - start);
    start = end + 1;
    ++number;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty() || line.front() == '#') continue;

    auto fail = [number](const char* what) {
      throw UsersError("users file line " + std::to_string(number) + ": " + what);
    };
    size_t colon = line.find(':');
    if (colon == std::string_view::npos) fail("expected user:password");
    std::string_view user = line.substr(0, colon);
    std::string_view password = line.substr(colon + 1);
    if (user.empty()) fail("empty user name");
    if (password.empty()) fail("empty password");
    if (line.find('\0') != std::string_view::npos) fail("NUL byte");
    if (!users.passwords_.emplace(user, password).second) fail("user listed twice");
  }
  return users;
}

Users Users::Load(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw UsersError("cannot read users file " + path);
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad()) throw UsersError("cannot read users file " + path);
  return Parse(text.str());
}

bool Users::Check(std::string_view user, std::string_view password) const {
  auto it = passwords_.find(user);
  return it != passwords_.end() && SameSecret(password, it->second);
}

}  // namespace ovr
