#include "probe_protocol.h"

#include <cstdint>
#include <cstring>

namespace probe {
namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

bool StartsWith(const std::string& text, const char* prefix, size_t* rest) {
  const std::string p(prefix);
  if (text.compare(0, p.size(), p) != 0) return false;
  *rest = p.size();
  return true;
}

// A decimal number of the signed 32-bit range as std::to_string writes it: no sign but "-",
// no leading zeros, no "-0".
bool ParseSeconds(const std::string& text, LONG* value) {
  const bool negative = !text.empty() && text[0] == '-';
  const std::string digits = text.substr(negative ? 1 : 0);
  if (digits.empty() || digits.size() > 10 || (digits[0] == '0' && (digits.size() > 1 || negative))) return false;
  int64_t magnitude = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return false;
    magnitude = magnitude * 10 + (c - '0');
  }
  const int64_t signed_value = negative ? -magnitude : magnitude;
  if (signed_value < INT32_MIN || signed_value > INT32_MAX) return false;
  *value = static_cast<LONG>(signed_value);
  return true;
}

bool ParseStatus(const std::string& text, HRESULT* status) {
  if (text.size() != 8) return false;
  uint32_t value = 0;
  for (char c : text) {
    const char* digit = c ? strchr(kHexDigits, c) : nullptr;
    if (!digit) return false;
    value = value << 4 | static_cast<uint32_t>(digit - kHexDigits);
  }
  if (!(value & 0x80000000u)) return false;  // only failures travel as "fail"
  *status = static_cast<HRESULT>(value);
  return true;
}

}  // namespace

std::string FormatAnswer(HRESULT status, LONG seconds) {
  if (status == S_OK) return "ok " + std::to_string(static_cast<long long>(seconds)) + "\n";
  const uint32_t value = static_cast<uint32_t>(FAILED(status) ? status : E_FAIL);
  std::string answer = "fail ";
  for (int shift = 28; shift >= 0; shift -= 4) answer += kHexDigits[(value >> shift) & 0xF];
  return answer + "\n";
}

bool ParseAnswer(const std::string& answer, HRESULT* status, LONG* seconds) {
  if (answer.size() > kMaxAnswerBytes || answer.empty() || answer.back() != '\n') return false;
  const std::string body = answer.substr(0, answer.size() - 1);
  size_t rest = 0;
  if (StartsWith(body, "ok ", &rest)) {
    LONG value = 0;
    if (!ParseSeconds(body.substr(rest), &value)) return false;
    *status = S_OK;
    *seconds = value;
    return true;
  }
  if (StartsWith(body, "fail ", &rest)) return ParseStatus(body.substr(rest), status);
  return false;
}

}  // namespace probe
