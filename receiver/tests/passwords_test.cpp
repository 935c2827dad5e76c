// Password hashes in the users file, and the passwd command's edit of that file.
#include <sys/stat.h>

#include "passwd.h"
#include "support.h"

namespace ovr::test {
namespace {

TEST(Passwords, HashedAndPlainEntriesCheckAndPlainOnesAreNamed) {
  std::string hash = HashPassword("s3cret pass");
  EXPECT_EQ(hash.rfind("$y$", 0), 0u) << hash;
  EXPECT_NE(HashPassword("s3cret pass"), hash);  // salted
  // An older scheme that libcrypt knows is a hash too; "$..." of no scheme is a password.
  Users u = Users::Parse("carol:" + hash +
                         "\nalice:secret\n"
                         "dave:$6$saltsalt$TVLlQcbpFVof5W3Yz4DTP6gRstiNuHwwTt6GLc1E5n0U0aDehy0S5knV8wiOQSpT0Y77vwPZN.Pq.H91p5hVO1\n"
                         "erin:$dollar\n");
  EXPECT_TRUE(u.Check("carol", "s3cret pass"));
  EXPECT_FALSE(u.Check("carol", "s3cret pas"));
  EXPECT_FALSE(u.Check("carol", hash));  // the hash itself is no password
  EXPECT_TRUE(u.Check("alice", "secret"));
  EXPECT_TRUE(u.Check("erin", "$dollar"));
  EXPECT_TRUE(u.Check("dave", "secret"));
  EXPECT_FALSE(u.Check("dave", "wrong"));
  EXPECT_FALSE(u.Check("nobody", "secret"));
  EXPECT_EQ(u.plain(), (std::vector<std::string>{"alice", "erin"}));

  // Replacing the table: new users check, removed ones do not, copies made before keep theirs.
  Users before = u;
  u.Replace(Users::Parse("frank:" + HashPassword("f")));
  EXPECT_TRUE(u.Check("frank", "f"));
  EXPECT_FALSE(u.Check("alice", "secret"));
  EXPECT_TRUE(before.Check("alice", "secret"));
  EXPECT_TRUE(u.plain().empty());
}

TEST(Passwords, SetUserLineReplacesInPlaceKeepsTheRestAndTheMode) {
  ScratchDir dir;
  fs::path file = dir.path() / "users";
  WriteFile(file, "# accounts\r\nalice:old\r\nbob:b0b\nalice2:x");
  ::chmod(file.c_str(), 0640);
  SetUserLine(file.string(), "alice", "$y$new");
  SetUserLine(file.string(), "carol", "$y$c");
  EXPECT_EQ(ReadFile(file), "# accounts\r\nalice:$y$new\r\nbob:b0b\nalice2:x\ncarol:$y$c\n");
  struct stat st{};
  ASSERT_EQ(::stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);

  // A new file is private; names the file could not hold are refused and change nothing.
  fs::path fresh = dir.path() / "fresh";
  SetUserLine(fresh.string(), "zoe", "pw");
  EXPECT_EQ(ReadFile(fresh), "zoe:pw\n");
  ASSERT_EQ(::stat(fresh.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  for (const char* bad : {"", "a:b", "#x", "a\nb", "\xFF"})
    EXPECT_THROW(SetUserLine(fresh.string(), bad, "pw"), UsersError) << bad;
  // A file that is already broken is not made worse.
  WriteFile(fresh, "zoe:pw\nbroken line\n");
  EXPECT_THROW(SetUserLine(fresh.string(), "amy", "pw"), UsersError);
  EXPECT_EQ(ReadFile(fresh), "zoe:pw\nbroken line\n");
}

}  // namespace
}  // namespace ovr::test
