// The OVT/1 line codec that the engine and the receiver both compile: tested here once.
#include <xxhash.h>

#include <gtest/gtest.h>

#include "line_codec.h"

namespace ovt {
namespace {

TEST(PercentCoding, EncodesControlsSpacesDeleteAndPercentOnly) {
  EXPECT_EQ(PercentEncode("demo/a b%c\x7f\t\n"), "demo/a%20b%25c%7F%09%0A");
  EXPECT_EQ(PercentEncode("fonts/arial.ttf?k=1&x=~"), "fonts/arial.ttf?k=1&x=~");
  const std::string utf8 = "\xE6\x8E\x92\xE9\x98\x9F";  // 排队 stays as it is
  EXPECT_EQ(PercentEncode(utf8), utf8);
  EXPECT_EQ(PercentEncode(std::string("a\0b", 3)), "a%00b");
  EXPECT_EQ(PercentEncode("a b%c\x01\x7F\xC3\xA9:"), "a%20b%25c%01%7F\xC3\xA9:");
  // Log fields keep their spaces but never a tab or a line end.
  EXPECT_EQ(PercentEncode("a b\tc\n", true), "a b%09c%0A");
}

TEST(PercentCoding, DecodesEitherCaseAndRefusesBrokenEscapes) {
  std::string out;
  ASSERT_TRUE(PercentDecode("a%20b%2fc%2F%e6%8e%92", &out));
  EXPECT_EQ(out, "a b/c/\xE6\x8E\x92");
  ASSERT_TRUE(PercentDecode("%c3%A9%3f", &out));  // escapes of any byte
  EXPECT_EQ(out, "\xC3\xA9?");
  const std::string bytes("x\0 %\x7f\xff", 6);
  ASSERT_TRUE(PercentDecode(PercentEncode(bytes), &out));
  EXPECT_EQ(out, bytes);
  out = "kept";
  for (const char* bad : {"%", "a%2", "%zz", "%2g", "50%", "abc%4"}) {
    EXPECT_FALSE(PercentDecode(bad, &out)) << bad;
    EXPECT_EQ(out, "kept") << bad;
  }
}

TEST(Numbers, UnsignedDecimalWithin64Bits) {
  uint64_t v = 0;
  EXPECT_TRUE(ParseNumber("18446744073709551615", &v));
  EXPECT_EQ(v, UINT64_MAX);
  EXPECT_TRUE(ParseNumber("000000000000000000000042", &v));  // zeros in front do not overflow
  EXPECT_EQ(v, 42u);
  v = 7;
  for (const char* bad : {"", "18446744073709551616", "99999999999999999999", "-1", "+1", "1 ", " 1", "0x10"})
    EXPECT_FALSE(ParseNumber(bad, &v)) << bad;
  EXPECT_EQ(v, 7u);
}

TEST(Checksums, SixteenHexDigitsMostSignificantFirst) {
  EXPECT_EQ(ChecksumText(XXH64("", 0, 0)), "ef46db3751d8e999");
  EXPECT_EQ(ChecksumText(0xabcULL), "0000000000000abc");
  uint64_t v = 0;
  ASSERT_TRUE(ParseChecksum("EF46db3751d8e999", &v));
  EXPECT_EQ(v, 0xef46db3751d8e999ULL);
  ASSERT_TRUE(ParseChecksum(ChecksumText(UINT64_MAX), &v));
  EXPECT_EQ(v, UINT64_MAX);
  for (const char* bad : {"", "ef46db3751d8e99", "ef46db3751d8e99g", "ef46db3751d8e9990", "+f46db3751d8e999"})
    EXPECT_FALSE(ParseChecksum(bad, &v)) << bad;
}

TEST(Fields, SingleSpacesSeparateAndEmptyFieldsCount) {
  EXPECT_EQ(SplitFields("PUT a 5"), (std::vector<std::string_view>{"PUT", "a", "5"}));
  EXPECT_EQ(SplitFields("LOGIN bob "), (std::vector<std::string_view>{"LOGIN", "bob", ""}));
  EXPECT_EQ(SplitFields("A  B"), (std::vector<std::string_view>{"A", "", "B"}));
  EXPECT_EQ(SplitFields(""), (std::vector<std::string_view>{""}));
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
  ASSERT_TRUE(ParseReply("ERR 403", &reply));
  EXPECT_EQ(reply.code, 403u);
  EXPECT_EQ(reply.message, "");
  ASSERT_TRUE(ParseReply("ERR 500 disk full", &reply));  // a server that does not encode is still read
  EXPECT_EQ(reply.message, "disk full");
  ASSERT_TRUE(ParseReply("ERR 500 50%", &reply));  // nor one that leaves a bare '%'
  EXPECT_EQ(reply.message, "50%");

  for (const char* bad : {"", "ok", "OK  1", "OK 1 ", "ERR", "ERR 40 x", "ERR abc x", "ERR +40 x", "HELLO OVT/1"})
    EXPECT_FALSE(ParseReply(bad, &reply)) << bad;
}

// What one end writes the other reads back unchanged, in exactly these bytes.
TEST(Replies, TheReceiversLinesReadBackAsWritten) {
  EXPECT_EQ(OkLine(""), "OK");
  EXPECT_EQ(OkLine("12 " + ChecksumText(0xabc)), "OK 12 0000000000000abc");
  EXPECT_EQ(ErrLine(409, "checksum differs"), "ERR 409 checksum%20differs");
  EXPECT_EQ(ErrLine(400, ""), "ERR 400 ");

  Reply reply;
  ASSERT_TRUE(ParseReply(OkLine("12 " + ChecksumText(0xabc)), &reply));
  EXPECT_EQ(reply.fields, (std::vector<std::string>{"12", "0000000000000abc"}));
  // A message with a line end or a '%' in it stays one line and comes back whole.
  const std::string message = "cannot write \"a b\"\nat 100%\r";
  const std::string line = ErrLine(500, message);
  EXPECT_EQ(line.find_first_of("\r\n"), std::string::npos);
  ASSERT_TRUE(ParseReply(line, &reply));
  EXPECT_EQ(reply.code, 500u);
  EXPECT_EQ(reply.message, message);
}

}  // namespace
}  // namespace ovt
