// The duration and still endpoint, spoken to as WinINet does.
#include "http_endpoint.h"
#include "support.h"

namespace ovr::test {
namespace {

class HttpTest : public ReceiverFixture {
 protected:
  // Sends one raw request and gives the whole response.
  std::string Request(const std::string& head, const std::string& body = {}) {
    UniqueFd fd = Connect(http_port());
    SendAll(fd.Get(), head + body);
    return ReadToEnd(fd.Get());
  }
  std::string Post(const std::string& target, const std::string& body) {
    return Request("POST " + target + " HTTP/1.1\r\nHost: x\r\nUser-Agent: \r\nContent-Length: " +
                       std::to_string(body.size()) + "\r\nCache-Control: no-cache\r\n\r\n",
                   body);
  }
  static std::string Body(const std::string& response) {
    return response.substr(response.find("\r\n\r\n") + 4);
  }
  static std::string Status(const std::string& response) { return response.substr(9, 3); }
};

TEST_F(HttpTest, DurationReportIsLogged) {
  std::string r = Post("/snapshot?site=demo&id=7&$dur$=12", "");
  EXPECT_EQ(Status(r), "200");
  EXPECT_EQ(Body(r), "OK");
  EXPECT_EQ(Log(), "DURATION\t/snapshot?site=demo&id=7&$dur$=12\t12\n");
}

TEST_F(HttpTest, StillIsStoredUnderAFreshName) {
  std::string jpeg = "\xFF\xD8\xFF\xE0" + RandomBytes(150000, 3);
  EXPECT_EQ(Body(Post("/snap?id=7&$dur$=3", jpeg)), "OK");
  EXPECT_EQ(Body(Post("/snap?id=7&$dur$=3", jpeg)), "OK");
  EXPECT_EQ(ReadFile(root() / "stills/1-id_7.jpg"), jpeg);
  EXPECT_EQ(ReadFile(root() / "stills/2-id_7.jpg"), jpeg);
  EXPECT_EQ(Log(), "STILL\t/snap?id=7&$dur$=3\t3\t150004\tstills/1-id_7.jpg\n"
                   "STILL\t/snap?id=7&$dur$=3\t3\t150004\tstills/2-id_7.jpg\n");
}

TEST_F(HttpTest, LargestStillIsAcceptedAndExpectContinueAnswered) {
  std::string jpeg = RandomBytes(kMaxStill, 4);
  std::string head = "POST /s?$dur$=0 HTTP/1.1\r\nContent-Length: " +
                     std::to_string(jpeg.size()) + "\r\nExpect: 100-continue\r\n\r\n";
  UniqueFd fd = Connect(http_port());
  SendAll(fd.Get(), head);
  char interim[64] = {};
  ASSERT_GT(::recv(fd.Get(), interim, sizeof interim - 1, 0), 0);
  EXPECT_EQ(std::string(interim).rfind("HTTP/1.1 100", 0), 0u);
  SendAll(fd.Get(), jpeg);
  EXPECT_EQ(Body(ReadToEnd(fd.Get())), "OK");
  fd.Reset();
  EXPECT_EQ(fs::file_size(root() / "stills/1.jpg"), kMaxStill);
}

TEST_F(HttpTest, BadRequestsGetAFiveByteBody) {
  // The control counts a body of 5 bytes or more as failure, whatever the status.
  std::vector<std::string> responses = {
      Post("/snapshot?site=demo", ""),         // no duration
      Post("/snapshot?$dur$=abc", "x"),
      Request("GET /snapshot?$dur$=1 HTTP/1.1\r\nHost: x\r\n\r\n"),
      Request("POST /s?$dur$=1 HTTP/1.1\r\nContent-Length: 2047999\r\n\r\n", "partial body"),
      Request("POST /s?$dur$=1 HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n"),
      Request("garbage\r\n\r\n"),
      Request("POST /s?$dur$=1 HTTP/1.1\r\nX: " + std::string(20000, 'a') + "\r\n\r\n"),
  };
  for (const auto& r : responses) {
    EXPECT_EQ(Status(r), "400") << r;
    EXPECT_EQ(Body(r), "ERROR");
  }
  EXPECT_EQ(Log(), "");
  EXPECT_FALSE(fs::exists(root() / "stills"));
}

}  // namespace
}  // namespace ovr::test
