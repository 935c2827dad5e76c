#include "paths.h"

#include <cctype>
#include <cstdint>

namespace ovr {
namespace {

// Linux refuses longer file names; refusing them here gives a clear 403 instead of a
// failed write later.
constexpr size_t kMaxSegment = 255;
constexpr size_t kMaxPath = 4000;
// Deeper names are no real site's files, and each folder level costs work at every PUT.
constexpr size_t kMaxSegments = 64;

NameCheck Refuse(std::string reason) {
  NameCheck r;
  r.reason = std::move(reason);
  return r;
}

bool HasDriveLetter(std::string_view segment) {
  for (size_t i = 1; i < segment.size(); ++i) {
    if (segment[i] == ':' && std::isalpha(static_cast<unsigned char>(segment[i - 1])))
      return true;
  }
  return false;
}

}  // namespace

bool IsValidUtf8(std::string_view text) {
  size_t i = 0;
  while (i < text.size()) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    size_t extra;
    uint32_t cp;
    if (c < 0x80) {
      ++i;
      continue;
    } else if ((c & 0xE0) == 0xC0) {
      extra = 1, cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      extra = 2, cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      extra = 3, cp = c & 0x07;
    } else {
      return false;
    }
    if (i + extra >= text.size()) return false;  // sequence cut short
    for (size_t k = 1; k <= extra; ++k) {
      unsigned char cc = static_cast<unsigned char>(text[i + k]);
      if ((cc & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (cc & 0x3F);
    }
    static const uint32_t kMin[] = {0, 0x80, 0x800, 0x10000};
    if (cp < kMin[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += extra + 1;
  }
  return true;
}

NameCheck CheckRemoteName(std::string_view name) {
  std::string_view path = name.substr(0, name.find('?'));
  if (path.empty()) return Refuse("empty name");
  if (path.find('\0') != std::string_view::npos) return Refuse("name contains a NUL byte");
  if (path.find('\\') != std::string_view::npos) return Refuse("name contains a backslash");
  if (path.front() == '/') return Refuse("absolute name");
  if (path.size() > kMaxPath) return Refuse("name too long");
  if (!IsValidUtf8(path)) return Refuse("name is not valid UTF-8");

  size_t start = 0, segments = 0;
  bool first = true;
  while (start <= path.size()) {
    size_t slash = path.find('/', start);
    if (slash == std::string_view::npos) slash = path.size();
    std::string_view segment = path.substr(start, slash - start);
    if (segment.empty()) return Refuse("name has an empty segment");
    if (++segments > kMaxSegments) return Refuse("name has more than 64 segments");
    if (segment == "." || segment == "..") return Refuse("name has a '.' or '..' segment");
    if (segment.size() > kMaxSegment) return Refuse("name has a segment over 255 bytes");
    if (first && HasDriveLetter(segment)) return Refuse("name has a drive letter");
    if (first && segment == kPrivateFolder) return Refuse("name is in the receiver's own folder");
    first = false;
    start = slash + 1;
  }
  NameCheck r;
  r.ok = true;
  r.path = std::string(path);
  return r;
}

}  // namespace ovr
