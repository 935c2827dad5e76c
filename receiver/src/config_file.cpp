#include "config_file.h"

#include <fstream>
#include <sstream>

#include "paths.h"

namespace ovr {
namespace {

std::string Trim(const std::string& s) {
  const char* space = " \t\r";
  size_t begin = s.find_first_not_of(space);
  if (begin == std::string::npos) return {};
  return s.substr(begin, s.find_last_not_of(space) - begin + 1);
}

}  // namespace

void ReadConfigFile(const std::string& path, const SetOptionFn& set) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw ConfigError("cannot read configuration file " + path);
  std::ostringstream whole;
  whole << in.rdbuf();
  if (in.bad()) throw ConfigError("cannot read configuration file " + path);
  if (!IsValidUtf8(whole.str())) throw ConfigError(path + " is not valid UTF-8");

  std::istringstream lines(whole.str());
  size_t number = 0;
  for (std::string line; std::getline(lines, line);) {
    ++number;
    auto fail = [&](const std::string& what) {
      throw ConfigError(path + " line " + std::to_string(number) + ": " + what);
    };
    line = Trim(line);
    if (line.empty() || line.front() == '#') continue;
    size_t eq = line.find('=');
    if (eq == std::string::npos) fail("expected key = value");
    std::string key = Trim(line.substr(0, eq)), value = Trim(line.substr(eq + 1));
    if (key.empty()) fail("expected key = value");
    std::string error = set(key, value);
    if (!error.empty()) fail(error);
  }
}

bool ParseSwitch(const std::string& text, bool& value) {
  for (const char* yes : {"true", "yes", "on", "1"})
    if (text == yes) {
      value = true;
      return true;
    }
  for (const char* no : {"false", "no", "off", "0"})
    if (text == no) {
      value = false;
      return true;
    }
  return false;
}

}  // namespace ovr
