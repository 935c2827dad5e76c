#include "protocol.h"

namespace ovengine {

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
