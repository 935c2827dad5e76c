#include <gtest/gtest.h>

#include "components/engine/session.h"
#include "components/engine/protocol.h"

namespace {

using namespace ovengine;

TEST(TextConversion, Utf8BothWaysAndLoneSurrogatesRefused) {
  std::string utf8;
  ASSERT_TRUE(ToUtf8(L"视频/排队.csf", &utf8));
  EXPECT_EQ(utf8, "\xE8\xA7\x86\xE9\xA2\x91/\xE6\x8E\x92\xE9\x98\x9F.csf");
  EXPECT_EQ(FromUtf8(utf8), L"视频/排队.csf");
  ASSERT_TRUE(ToUtf8(L"\U0001F600", &utf8));
  EXPECT_EQ(utf8, "\xF0\x9F\x98\x80");
  EXPECT_FALSE(ToUtf8(std::wstring(L"a") + wchar_t(0xD800) + L"b", &utf8));
  EXPECT_EQ(FromUtf8("a\xFF"), L"a\xFFFD");
}

// The line codec itself is tested with the receiver; here what the engine makes of a reply.
TEST(Replies, ServerErrorCodesBecomeTheEnginesResults) {
  Reply reply;
  const std::pair<const char*, HRESULT> cases[] = {
      {"ERR 401 wrong%20password", E_ACCESSDENIED},
      {"ERR 403", HRESULT_FROM_WIN32(ERROR_INVALID_NAME)},
      {"ERR 409 checksum%20differs", HRESULT_FROM_WIN32(ERROR_CRC)},
      {"ERR 500 disk full", HRESULT_FROM_WIN32(ERROR_WRITE_FAULT)},
      {"ERR 400 malformed", kBadReply},
      {"ERR 999 x", kBadReply},
  };
  for (const auto& [line, hr] : cases) {
    ASSERT_TRUE(ParseReply(line, &reply)) << line;
    EXPECT_EQ(ReplyError(reply), hr) << line;
  }
}

// Only a broken path is worth another connection: the receiver's refusals share the Win32
// facility with socket errors (E_ACCESSDENIED is 401) and must end the transfer at once.
TEST(Breaks, SocketFailuresAreRetriedRefusalsAndVerdictsAreNot) {
  for (int error : {WSAECONNRESET, WSAECONNREFUSED, WSAETIMEDOUT, WSAENOTCONN, WSAECONNABORTED})
    EXPECT_TRUE(Session::IsBreak(HRESULT_FROM_WIN32(error))) << error;
  Reply reply;
  for (const char* refusal : {"ERR 401 x", "ERR 403 x", "ERR 409 x", "ERR 500 x"}) {
    ASSERT_TRUE(ParseReply(refusal, &reply));
    EXPECT_FALSE(Session::IsBreak(ReplyError(reply))) << refusal;
  }
  for (HRESULT hr : {kBadReply, E_ABORT, CERT_E_UNTRUSTEDROOT, CERT_E_CN_NO_MATCH, SEC_E_ILLEGAL_MESSAGE, S_OK})
    EXPECT_FALSE(Session::IsBreak(hr)) << std::hex << hr;
}

}  // namespace
