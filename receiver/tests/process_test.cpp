// The ovreceiver program itself: start-up line, start-up errors, stopping on signals.
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <tuple>
#include <vector>

#include "child.h"

namespace ovr::test {
namespace {

class ProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteFile(users(), "alice:secret\n");
    fs::permissions(users(), fs::perms::owner_read | fs::perms::owner_write);
  }
  std::string users() const { return (dir_.path() / "users").string(); }
  std::string root() const { return (dir_.path() / "root").string(); }
  ScratchDir dir_;
};

TEST_F(ProcessTest, StopsCleanlyOnSigtermKeepingPartialData) {
  for (int sig : {SIGTERM, SIGINT}) {
    Child c = Spawn({"--root", root(), "--users", users(), "--port", "0", "--http-port", "0",
                     "--bind", "127.0.0.1"});
    std::string ready = ReadLineFrom(c.out);
    unsigned upload = 0, http = 0;
    ASSERT_EQ(std::sscanf(ready.c_str(), "ovreceiver ready upload=%u http=%u", &upload, &http), 2)
        << ready;
    EXPECT_NE(http, 0u);

    Client client(static_cast<uint16_t>(upload));
    ASSERT_TRUE(client.Login());
    std::string data = RandomBytes(5000);
    ASSERT_EQ(client.Command("PUT part.bin 5000"), sig == SIGTERM ? "OK 0" : "OK 2000");
    ASSERT_EQ(client.Command("FROM 5000"), sig == SIGTERM ? "OK 0" : "OK 2000");
    if (sig == SIGTERM) client.Send(data.substr(0, 2000));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));

    ::kill(c.pid, sig);
    EXPECT_EQ(WaitExit(c.pid, std::chrono::seconds(5)), 0);
    EXPECT_EQ(ReadToEnd(client.fd()), "");  // the server closed the connection
    ::close(c.out);
    ::close(c.err);
  }
  EXPECT_FALSE(fs::exists(fs::path(root()) / "part.bin"));
  EXPECT_TRUE(fs::exists(fs::path(root()) / ".ovreceiver" / "received.log"));
}

TEST_F(ProcessTest, StartupErrorsExitWithTwo) {
  WriteFile(dir_.path() / "bad-users", "alice:secret\nbob\n");
  const std::vector<std::vector<std::string>> cases = {
      {"--root", root(), "--users", (dir_.path() / "bad-users").string(), "--port", "0"},
      {"--root", root(), "--users", (dir_.path() / "missing").string(), "--port", "0"},
      {"--root", root(), "--port", "0"},
      {"--root", root(), "--users", users(), "--port", "70000"},
      {"--root", root(), "--users", users(), "--bogus", "1"},
      {"--root", root(), "--users", users(), "--port", "0", "--bind", "not-an-address"},
  };
  for (const auto& args : cases) {
    Child c = Spawn(args);
    EXPECT_EQ(ReadLineFrom(c.out), "");
    std::string message = ReadLineFrom(c.err);
    EXPECT_EQ(message.rfind("ovreceiver: ", 0), 0u) << message;
    EXPECT_EQ(WaitExit(c.pid, std::chrono::seconds(5)), 2) << args.back();
    ::close(c.out);
    ::close(c.err);
  }
  Child c = Spawn({"--root", root(), "--users", (dir_.path() / "bad-users").string()});
  EXPECT_NE(ReadLineFrom(c.err).find("line 2"), std::string::npos);
  WaitExit(c.pid, std::chrono::seconds(5));
  ::close(c.out);
  ::close(c.err);
}

// Runs "ovreceiver passwd FILE USER" with input on a pipe; gives the exit status.
int Passwd(const std::string& file, const std::string& user, const std::string& input) {
  std::string command = "printf '" + input + "' | " OVRECEIVER_BINARY " passwd '" + file +
                        "' '" + user + "' 2>/dev/null";
  int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(ProcessTest, PasswdStoresAHashThatLogsInAndPlainEntriesStillWorkWithAWarning) {
  ASSERT_EQ(Passwd(users(), "carol", "c4rol pw\\n"), 0);
  EXPECT_NE(Passwd(users(), "dave", ""), 0);  // no password, nothing written
  std::string text = ReadFile(users());
  EXPECT_EQ(text.rfind("alice:secret\ncarol:$y$", 0), 0u) << text;
  EXPECT_EQ(text.find("dave"), std::string::npos);
  EXPECT_EQ(text.find("c4rol"), std::string::npos);

  Child c = Spawn({"--root", root(), "--users", users(), "--port", "0", "--bind", "127.0.0.1"});
  std::string warning = ReadLineFrom(c.err);
  EXPECT_NE(warning.find("in clear for: alice ("), std::string::npos) << warning;
  unsigned upload = 0;
  ASSERT_EQ(std::sscanf(ReadLineFrom(c.out).c_str(), "ovreceiver ready upload=%u", &upload), 1);
  for (auto [user, password, ok] : {std::tuple{"carol", "c4rol%20pw", true},
                                    std::tuple{"carol", "c4rol%20pX", false},
                                    std::tuple{"alice", "secret", true}}) {
    Client client(static_cast<uint16_t>(upload));
    EXPECT_EQ(client.Command("HELLO OVT/1"), "OK OVT/1");
    EXPECT_EQ(client.Command(std::string("LOGIN ") + user + " " + password),
              ok ? "OK" : "ERR 401 wrong%20user%20name%20or%20password");
  }
  ::kill(c.pid, SIGTERM);
  EXPECT_EQ(WaitExit(c.pid, std::chrono::seconds(5)), 0);
  ::close(c.out);
  ::close(c.err);
}

}  // namespace
}  // namespace ovr::test
