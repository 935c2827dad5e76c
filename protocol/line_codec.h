// The OVT/1 line codec, shared by the transfer engine (Windows) and ovreceiver (Linux): line
// length, fields, percent coding of text fields, numbers, checksums, and the reply lines the
// receiver writes and the engine reads. Both builds compile this one file, so the two ends
// cannot drift apart; it therefore includes nothing but the C++ standard library.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace ovt {

// A line, '\n' included, is at most this long in either direction.
constexpr size_t kMaxLineBytes = 8192;

namespace detail {

inline int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace detail

// Writes %XX for bytes below 0x21 (below 0x20 when spaces are kept, as log fields do), 0x7F
// and '%'; every other byte, UTF-8 included, stays as it is.
inline std::string PercentEncode(std::string_view bytes, bool keep_spaces = false) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(bytes.size());
  for (unsigned char c : bytes) {
    if (c < (keep_spaces ? 0x20 : 0x21) || c == 0x7F || c == '%') {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

// Accepts %XX in either case for any byte; false for a '%' without two hex digits after it,
// and then *bytes is left as it was.
inline bool PercentDecode(std::string_view text, std::string* bytes) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out += text[i];
      continue;
    }
    if (i + 2 >= text.size()) return false;
    const int high = detail::HexValue(text[i + 1]), low = detail::HexValue(text[i + 2]);
    if (high < 0 || low < 0) return false;
    out += static_cast<char>(high * 16 + low);
    i += 2;
  }
  *bytes = std::move(out);
  return true;
}

// Unsigned 64-bit decimal: digits only, no sign, false on overflow.
inline bool ParseNumber(std::string_view text, uint64_t* value) {
  if (text.empty()) return false;
  uint64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    const uint64_t digit = static_cast<uint64_t>(c - '0');
    if (v > (UINT64_MAX - digit) / 10) return false;
    v = v * 10 + digit;
  }
  *value = v;
  return true;
}

// 16 lower-case hex digits, most significant first.
inline std::string ChecksumText(uint64_t checksum) {
  static const char kHex[] = "0123456789abcdef";
  std::string text(16, '0');
  for (int i = 15; i >= 0; --i, checksum >>= 4) text[static_cast<size_t>(i)] = kHex[checksum & 15];
  return text;
}

// Exactly 16 hex digits, either case.
inline bool ParseChecksum(std::string_view text, uint64_t* checksum) {
  if (text.size() != 16) return false;
  uint64_t v = 0;
  for (char c : text) {
    const int digit = detail::HexValue(c);
    if (digit < 0) return false;
    v = (v << 4) | static_cast<uint64_t>(digit);
  }
  *checksum = v;
  return true;
}

// Fields separated by single spaces; empty fields are kept so that the count tells.
inline std::vector<std::string_view> SplitFields(std::string_view line) {
  std::vector<std::string_view> fields;
  size_t start = 0;
  while (true) {
    const size_t space = line.find(' ', start);
    if (space == std::string_view::npos) {
      fields.push_back(line.substr(start));
      return fields;
    }
    fields.push_back(line.substr(start, space - start));
    start = space + 1;
  }
}

// "OK" with the fields after one space, if any; without the line end.
inline std::string OkLine(std::string_view fields) {
  std::string line = "OK";
  if (!fields.empty()) line.append(" ").append(fields);
  return line;
}

// "ERR <code> <message>", the message percent-encoded; without the line end.
inline std::string ErrLine(int code, std::string_view message) {
  return "ERR " + std::to_string(code) + ' ' + PercentEncode(message);
}

struct Reply {
  bool ok = false;
  unsigned code = 0;                // of an ERR reply
  std::vector<std::string> fields;  // after OK
  std::string message;              // of an ERR reply, decoded
};

// One reply line without its end; false when it is neither a well-formed OK nor ERR.
inline bool ParseReply(std::string_view line, Reply* reply) {
  *reply = Reply();
  const std::vector<std::string_view> fields = SplitFields(line);
  if (fields[0] == "OK") {
    reply->ok = true;
    for (size_t i = 1; i < fields.size(); ++i) {
      if (fields[i].empty()) return false;
      reply->fields.emplace_back(fields[i]);
    }
    return true;
  }
  uint64_t code = 0;
  if (fields[0] != "ERR" || fields.size() < 2 || fields[1].size() != 3 || !ParseNumber(fields[1], &code))
    return false;
  reply->code = static_cast<unsigned>(code);
  // The message is one field; a server that leaves spaces in it is still understood.
  const size_t message_start = fields[0].size() + 1 + fields[1].size() + 1;
  if (message_start < line.size() && !PercentDecode(line.substr(message_start), &reply->message))
    reply->message = std::string(line.substr(message_start));
  return true;
}

}  // namespace ovt
