#include "protocol.h"

namespace ovengine {
namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::vector<std::string> SplitFields(const std::string& line) {
  std::vector<std::string> fields;
  size_t start = 0;
  while (true) {
    const size_t space = line.find(' ', start);
    fields.push_back(line.substr(start, space - start));
    if (space == std::string::npos) return fields;
    start = space + 1;
  }
}

}  // namespace

std::string PercentEncode(const std::string& bytes) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(bytes.size());
  for (unsigned char c : bytes) {
    if (c < 0x21 || c == 0x7F || c == '%') {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

bool PercentDecode(const std::string& text, std::string* bytes) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out += text[i];
      continue;
    }
    if (i + 2 >= text.size()) return false;
    const int high = HexValue(text[i + 1]), low = HexValue(text[i + 2]);
    if (high < 0 || low < 0) return false;
    out += static_cast<char>(high * 16 + low);
    i += 2;
  }
  *bytes = std::move(out);
  return true;
}

bool ToUtf8(const std::wstring& text, std::string* utf8) {
  utf8->clear();
  if (text.empty()) return true;
  const int size = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()),
                                       nullptr, 0, nullptr, nullptr);
  if (size <= 0) return false;
  utf8->resize(static_cast<size_t>(size));
  return WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()), &(*utf8)[0],
                             size, nullptr, nullptr) == size;
}

std::wstring FromUtf8(const std::string& utf8) {
  if (utf8.empty()) return {};
  const int size = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  if (size <= 0) return {};
  std::wstring text(static_cast<size_t>(size), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), &text[0], size);
  return text;
}

bool ParseNumber(const std::string& text, uint64_t* value) {
  if (text.empty() || text.size() > 20) return false;
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

std::string ChecksumText(uint64_t checksum) {
  static const char kHex[] = "0123456789abcdef";
  std::string text(16, '0');
  for (int i = 15; i >= 0; --i, checksum >>= 4) text[static_cast<size_t>(i)] = kHex[checksum & 15];
  return text;
}

bool ParseReply(const std::string& line, Reply* reply) {
  *reply = Reply();
  std::vector<std::string> fields = SplitFields(line);
  if (fields[0] == "OK") {
    reply->ok = true;
    reply->fields.assign(fields.begin() + 1, fields.end());
    for (const std::string& field : reply->fields)
      if (field.empty()) return false;
    return true;
  }
  uint64_t code = 0;
  if (fields[0] != "ERR" || fields.size() < 2 || fields[1].size() != 3 || !ParseNumber(fields[1], &code))
    return false;
  reply->code = static_cast<unsigned>(code);
  // The message is one field; a server that leaves spaces in it is still understood.
  const size_t message_start = fields[0].size() + 1 + fields[1].size() + 1;
  if (message_start < line.size() && !PercentDecode(line.substr(message_start), &reply->message))
    reply->message = line.substr(message_start);
  return true;
}

HRESULT ReplyError(const Reply& reply) {
  switch (reply.code) {
    case 401:
      return E_ACCESSDENIED;
    case 403:
      return HRESULT_FROM_WIN32(ERROR_INVALID_NAME);
    case 409:
      return HRESULT_FROM_WIN32(ERROR_CRC);
    case 500:
      return HRESULT_FROM_WIN32(ERROR_WRITE_FAULT);
    default:
      return kBadReply;
  }
}

}  // namespace ovengine
