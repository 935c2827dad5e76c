// The receiver's line protocol (OVT/1): percent coding of text fields, reply parsing and the
// HRESULTs that the engine's callers see for the server's error codes.
#pragma once
#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace ovengine {

// A line, '\n' included, is at most this long in either direction.
constexpr size_t kMaxLineBytes = 8192;

// Writes %XX for bytes below 0x21, 0x7F and '%'; every other byte stays as it is.
std::string PercentEncode(const std::string& bytes);
// Accepts %XX in either case; false for a '%' without two hex digits after it.
bool PercentDecode(const std::string& text, std::string* bytes);

// UTF-16 to UTF-8; false for text that is not valid UTF-16 (a lone surrogate), which
// would otherwise reach the server as a different name.
bool ToUtf8(const std::wstring& text, std::string* utf8);
// UTF-8 to UTF-16 for people to read: invalid bytes become U+FFFD.
std::wstring FromUtf8(const std::string& utf8);

bool ParseNumber(const std::string& text, uint64_t* value);
// 16 lower-case hex digits, most significant first.
std::string ChecksumText(uint64_t checksum);

struct Reply {
  bool ok = false;
  unsigned code = 0;                // of an ERR reply
  std::vector<std::string> fields;  // after OK
  std::string message;              // of an ERR reply, decoded
};

// One reply line without its end; false when it is neither a well-formed OK nor ERR.
bool ParseReply(const std::string& line, Reply* reply);

// What a caller of the engine sees for an ERR reply.
HRESULT ReplyError(const Reply& reply);
// A reply the engine cannot make sense of: the connection is no longer in step.
inline const HRESULT kBadReply = HRESULT_FROM_WIN32(ERROR_BAD_NET_RESP);

}  // namespace ovengine
