// Remote names: the rules that keep every upload below the root.
#pragma once

#include <string>
#include <string_view>

namespace ovr {

// Folder below the root that holds the receiver's own data; no upload may name it.
constexpr std::string_view kPrivateFolder = ".ovreceiver";

struct NameCheck {
  bool ok = false;
  std::string path;    // relative to the root, '/' separated, query dropped
  std::string reason;  // why the name was refused
};

// Checks a decoded remote name (as the page gave it) and gives its path below the root.
NameCheck CheckRemoteName(std::string_view name);

// True when the text is well-formed UTF-8 (no overlong forms, no surrogates).
bool IsValidUtf8(std::string_view text);

}  // namespace ovr
