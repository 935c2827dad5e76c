// The configuration file: "key = value" lines whose keys are the command-line options'
// names, so every option can be set there without code of its own.
#pragma once

#include <functional>
#include <stdexcept>
#include <string>

namespace ovr {

struct ConfigError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Gives "" when the option was set, else what is wrong with it, for people.
using SetOptionFn = std::function<std::string(const std::string& key, const std::string& value)>;

// Reads the file at path and calls set for each "key = value" line in order. Empty lines and
// lines starting with '#' are skipped; spaces around key and value are dropped; a value may
// be empty. Throws ConfigError naming the file and line of the first fault (no '=', or what
// set says).
void ReadConfigFile(const std::string& path, const SetOptionFn& set);

// A switch's value in the file: true for "true", "yes", "on" and "1", false for "false",
// "no", "off" and "0"; anything else is an error.
bool ParseSwitch(const std::string& text, bool& value);

}  // namespace ovr
