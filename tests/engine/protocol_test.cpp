#include <gtest/gtest.h>

#include "components/engine/session.h"
#include "components/engine/protocol.h"

namespace {

using namespace ovengine;

TEST(PercentCoding, EncodesControlsSpacesDeleteAndPercentOnly) {
  EXPECT_EQ(PercentEncode("demo/a b%c\x7f\t\n"), "demo/a%20b%25c%7F%09%0A");
  EXPECT_EQ(PercentEncode("fonts/arial.ttf?k=1&x=~"), "fonts/arial.ttf?k=1&x=~");
  const std::string utf8 = "\xE6\x8E\x92\xE9\x98\x9F";  // 排队 stays as it is
  EXPECT_EQ(PercentEncode(utf8), utf8);
  EXPECT_EQ(PercentEncode(std::string("a\0b", 3)), "a%00b");
}

TEST(PercentCoding, DecodesEitherCaseAndRefusesBrokenEscapes) {
  std::string out;
  ASSERT_TRUE(PercentDecode("a%20b%2fc%2F%e6%8e%92", &out));
  EXPECT_EQ(out, "a b/c/\xE6\x8E\x92");
  ASSERT_TRUE(PercentDecode(PercentEncode(std::string("x\0 %\x7f\xff", 6)), &out));
  EXPECT_EQ(out, std::string("x\0 %\x7f\xff", 6));
  for (const char* bad : {"%", "a%2", "%zz", "%2g", "50%"}) EXPECT_FALSE(PercentDecode(bad, &out)) << bad;
}

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

TEST(Numbers, UnsignedDecimalWithin64Bits) {
  uint64_t v = 0;
  EXPECT_TRUE(ParseNumber("18446744073709551615", &v));
  EXPECT_EQ(v, UINT64_MAX);
  for (const char* bad : {"", "18446744073709551616", "-1", "+1", "1 ", "0x10"})
    EXPECT_FALSE(ParseNumber(bad, &v)) << bad;
  EXPECT_EQ(ChecksumText(0xef46db3751d8e999ULL), "ef46db3751d8e999");
  EXPECT_EQ(ChecksumText(0x0000000000000abcULL), "0000000000000abc");
}

TEST(Replies, OkWithFieldsAndErrWithDecodedMessage) {
  Reply reply;
  ASSERT_TRUE(ParseReply("OK", &reply));
  EXPECT_TRUE(reply.ok);
  EXPECT_TRUE(reply.fields.empty());
  ASSERT_TRUE(ParseReply("OK 1234 ef46db3751d8e999", &reply));
  EXPECT_EQ(reply.fields, (std::vector<std::string>{"1234", "ef46db3751d8e999"}));

  ASSERT_TRUE(ParseReply("ERR 401 wrong%20password", &reply));
  EXPECT_FALSE(reply.ok);
  EXPECT_EQ(reply.code, 401u);
  EXPECT_EQ(reply.message, "wrong password");
  EXPECT_EQ(ReplyError(reply), E_ACCESSDENIED);
  ASSERT_TRUE(ParseReply("ERR 403", &reply));
  EXPECT_EQ(ReplyError(reply), HRESULT_FROM_WIN32(ERROR_INVALID_NAME));
  ASSERT_TRUE(ParseReply("ERR 409 checksum%20differs", &reply));
  EXPECT_EQ(ReplyError(reply), HRESULT_FROM_WIN32(ERROR_CRC));
  ASSERT_TRUE(ParseReply("ERR 500 disk full", &reply));  // a server that does not encode is still read
  EXPECT_EQ(reply.message, "disk full");

  for (const char* bad : {"", "ok", "OK  1", "OK 1 ", "ERR", "ERR 40 x", "ERR abc x", "HELLO OVT/1"})
    EXPECT_FALSE(ParseReply(bad, &reply)) << bad;
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
