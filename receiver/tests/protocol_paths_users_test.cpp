#include <gtest/gtest.h>

#include "event_log.h"
#include "config.h"
#include "http_endpoint.h"
#include "login_guard.h"
#include "paths.h"
#include "users.h"

namespace ovr {
namespace {

TEST(RemoteNames, RefusesEveryUnsafeKind) {
  const char* refused[] = {"",        "?k=1",      "/etc/passwd", "a\\b",      "C:/x",
                           "ab:c/d",  "a//b",      "a/",          "./a",       "a/./b",
                           "../a",    "a/../../b", "..",          ".ovreceiver/partial/x",
                           "\xFF.bin"};
  for (const char* name : refused) {
    NameCheck c = CheckRemoteName(name);
    EXPECT_FALSE(c.ok) << name;
    EXPECT_FALSE(c.reason.empty()) << name;
  }
  EXPECT_FALSE(CheckRemoteName(std::string("a\0b", 3)).ok);
  EXPECT_FALSE(CheckRemoteName(std::string(256, 'x')).ok);
}

TEST(RemoteNames, AcceptsNestedNamesAndDropsTheQuery) {
  struct {
    const char* name;
    const char* path;
  } cases[] = {{"demo/video.csf", "demo/video.csf"},
               {"demo/fonts/arial.ttf?k=1", "demo/fonts/arial.ttf"},
               {"a/b/../c?x", nullptr},  // the query goes, the rest is still checked
               {"1:x/y", "1:x/y"},       // no letter before the colon: not a drive
               {"b/C:x", "b/C:x"},       // drive letters only matter first
               {"..a/.b/c..", "..a/.b/c.."},
               {"\xE4\xB8\xAD\xE6\x96\x87/\xE6\x96\x87.txt?a=/..",
                "\xE4\xB8\xAD\xE6\x96\x87/\xE6\x96\x87.txt"}};
  for (const auto& c : cases) {
    NameCheck r = CheckRemoteName(c.name);
    if (!c.path) {
      EXPECT_FALSE(r.ok) << c.name;
      continue;
    }
    EXPECT_TRUE(r.ok) << c.name << ": " << r.reason;
    EXPECT_EQ(r.path, c.path);
  }
}

TEST(Users, ParsesCommentsBlankLinesAndColonsInPasswords) {
  Users u = Users::Parse("# site users\r\n\nalice:secret\r\nbob:pa:ss word\n\xE5\xBC\xA0:\xE5\xAF\x86");
  EXPECT_EQ(u.size(), 3u);
  EXPECT_TRUE(u.Check("alice", "secret"));
  EXPECT_TRUE(u.Check("bob", "pa:ss word"));
  EXPECT_TRUE(u.Check("\xE5\xBC\xA0", "\xE5\xAF\x86"));
  EXPECT_FALSE(u.Check("alice", "secre"));
  EXPECT_FALSE(u.Check("alice", "secrets"));
  EXPECT_FALSE(u.Check("alice", ""));
  EXPECT_FALSE(u.Check("carol", "secret"));
  EXPECT_FALSE(u.Check("Alice", "secret"));
}

TEST(Users, MalformedFilesNameTheLine) {
  struct {
    const char* text;
    const char* message;
  } cases[] = {{"alice:x\nnocolon\n", "line 2"},
               {":pw\n", "empty user"},
               {"alice:\n", "empty password"},
               {"a:1\n# c\na:2\n", "line 3: user listed twice"},
               {"a:\xC3(\n", "UTF-8"}};
  for (const auto& c : cases) {
    try {
      Users::Parse(c.text);
      ADD_FAILURE() << "accepted " << c.text;
    } catch (const UsersError& e) {
      EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
    }
  }
  EXPECT_THROW(Users::Load("/nonexistent/users"), UsersError);
}

TEST(LogFields, EscapeWhatWouldBreakALine) {
  EXPECT_EQ(LogField("a\tb\nc%d e"), "a%09b%0Ac%25d e");
}

TEST(HttpQuery, DurationAndStillHint) {
  std::string s;
  EXPECT_TRUE(FindDuration("/snapshot?site=demo&id=7&$dur$=12", s));
  EXPECT_EQ(s, "12");
  EXPECT_TRUE(FindDuration("/snap?$dur$=-1", s));
  EXPECT_EQ(s, "-1");
  EXPECT_TRUE(FindDuration("/snap?%24dur%24=5", s));  // an escaped key is the same key
  EXPECT_EQ(s, "5");
  EXPECT_TRUE(FindDuration("/snap?$dur$=1&$dur$=9", s));  // the control appends its own
  EXPECT_EQ(s, "9");
  for (const char* bad : {"/snap", "/snap?dur=1", "/snap?$dur$=", "/snap?$dur$=1x", "/$dur$=1"})
    EXPECT_FALSE(FindDuration(bad, s)) << bad;

  EXPECT_EQ(StillHint("/snapshot?site=demo&id=7&$dur$=12"), "site_demo_id_7");
  EXPECT_EQ(StillHint("/s?a=../../x/y&$dur$=0"), "a_.._.._x_y");
  EXPECT_EQ(StillHint("/s?$dur$=0"), "");
  EXPECT_EQ(StillHint("/s?k=" + std::string(300, 'z') + "&$dur$=0").size(), 100u);
}

TEST(LoginGuard, DelaysGrowTakeTurnsAndAreGivenBackByARightPassword) {
  std::vector<std::string> reported;
  LoginGuard guard(std::chrono::seconds(2), [&](const std::string& line) { reported.push_back(line); });
  using std::chrono::milliseconds;
  EXPECT_EQ(guard.Delay(1), milliseconds(250));
  EXPECT_EQ(guard.Delay(3), milliseconds(1000));
  EXPECT_EQ(guard.Delay(9), milliseconds(2000));  // at most the limit

  auto now = LoginGuard::Clock::now();
  EXPECT_LE(*guard.Admit("10.0.0.1", "alice"), now + milliseconds(50));  // nothing failed yet
  for (int i = 0; i < 3; ++i) guard.Failed("10.0.0.1", "10.0.0.1", "alice");
  ASSERT_EQ(reported.size(), 3u);
  EXPECT_NE(reported[2].find("failed login from 10.0.0.1 as alice (3 in a row"), std::string::npos);

  // Attempts waiting at once take turns a delay apart, never further ahead than the limit.
  auto first = *guard.Admit("10.0.0.1", "bob");
  auto second = *guard.Admit("10.0.0.1", "carol");
  EXPECT_GE(first - now, milliseconds(900));
  EXPECT_GE(second - first, milliseconds(950));
  EXPECT_FALSE(guard.Admit("10.0.0.1", "dave"));
  EXPECT_GE(*guard.Admit("10.0.0.2", "alice") - now, milliseconds(900));  // the user too
  EXPECT_LE(*guard.Admit("10.0.0.3", "erin"), LoginGuard::Clock::now() + milliseconds(50));

  // A right password gives its turn back: the next attempt does not queue behind it.
  LoginGuard fresh(std::chrono::seconds(2), [](const std::string&) {});
  fresh.Failed("10.0.0.1", "10.0.0.1", "alice");
  auto turn = *fresh.Admit("10.0.0.1", "dave");
  fresh.Succeeded("10.0.0.1", "dave", turn);
  EXPECT_EQ(*fresh.Admit("10.0.0.1", "erin"), turn);
}

TEST(Options, DurationsBytesAndTheTable) {
  Seconds d;
  EXPECT_TRUE(ParseDuration("90", d) && d == Seconds(90));
  EXPECT_TRUE(ParseDuration("15m", d) && d == Seconds(900));
  EXPECT_TRUE(ParseDuration("7d", d) && d == Seconds(7 * 86400));
  for (const char* bad : {"", "m", "5x", "-1", "99999999999999d"}) EXPECT_FALSE(ParseDuration(bad, d)) << bad;
  uint64_t b;
  EXPECT_TRUE(ParseBytes("16M", b) && b == 16u << 20);
  EXPECT_TRUE(ParseBytes("512", b) && b == 512u);
  for (const char* bad : {"", "1P", "K", "99999999999T"}) EXPECT_FALSE(ParseBytes(bad, b)) << bad;

  Config c;
  EXPECT_EQ(SetOption(c, "login-timeout", "2m"), "");
  EXPECT_EQ(c.limits.login_timeout, Seconds(120));
  EXPECT_EQ(SetOption(c, "http-bytes-total", "1G"), "");
  EXPECT_EQ(c.limits.http_bytes_total, 1ull << 30);
  EXPECT_NE(SetOption(c, "pending-total", "0"), "");
  EXPECT_NE(SetOption(c, "no-such-option", "1"), "");
  EXPECT_TRUE(IsFlag("sync"));
  EXPECT_NE(Usage().find("--partial-max-age TIME"), std::string::npos);
}

}  // namespace
}  // namespace ovr
