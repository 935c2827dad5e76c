// Text codec of the OVT/1 command and reply lines: percent coding, numbers, checksums.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace ovr {

// Longest command line the receiver accepts, its end included.
constexpr size_t kMaxLine = 8192;

// Decodes %XX escapes (either case); false on a '%' without two hex digits after it.
bool PercentDecode(std::string_view in, std::string& out);
// Escapes bytes below 0x21 (below 0x20 when spaces are kept), 0x7F and '%', as the engine's
// encoder does.
std::string PercentEncode(std::string_view in, bool keep_spaces = false);

// Unsigned 64-bit decimal: digits only, no sign, no overflow.
bool ParseU64(std::string_view text, uint64_t& value);
// Sixteen hex digits, most significant first.
bool ParseChecksum(std::string_view text, uint64_t& value);
std::string FormatChecksum(uint64_t value);

// Fields separated by single spaces; empty fields are kept so that the count tells.
std::vector<std::string_view> SplitFields(std::string_view line);

}  // namespace ovr
