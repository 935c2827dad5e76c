// The ovreceiver program itself: start-up line, start-up errors, stopping on signals.
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <vector>

#include "support.h"

namespace ovr::test {
namespace {

struct Child {
  pid_t pid = -1;
  int out = -1, err = -1;
};

Child Spawn(std::vector<std::string> args) {
  args.insert(args.begin(), OVRECEIVER_BINARY);
  int out[2], err[2];
  EXPECT_EQ(::pipe(out), 0);
  EXPECT_EQ(::pipe(err), 0);
  Child c;
  c.pid = ::fork();
  if (c.pid == 0) {
    ::dup2(out[1], 1);
    ::dup2(err[1], 2);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(out[1]);
  ::close(err[1]);
  c.out = out[0];
  c.err = err[0];
  return c;
}

std::string ReadLineFrom(int fd) {
  std::string line;
  char ch;
  while (::read(fd, &ch, 1) == 1 && ch != '\n') line += ch;
  return line;
}

// Exit status, or -1 if the child is still running after the time-out (then killed).
int WaitExit(pid_t pid, std::chrono::seconds timeout) {
  auto until = std::chrono::steady_clock::now() + timeout;
  int status = 0;
  while (::waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > until) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

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
                     "--bind", "127.0.0.1", "--plain"});
    std::string ready = ReadLineFrom(c.out);
    unsigned upload = 0, http = 0;
    ASSERT_EQ(std::sscanf(ready.c_str(), "ovreceiver ready upload=%u http=%u", &upload, &http), 2)
        << ready;
    EXPECT_NE(http, 0u);
    EXPECT_NE(ReadLineFrom(c.err).find("warning: --plain"), std::string::npos) << "in clear only with a warning";

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
      {"--root", root(), "--users", (dir_.path() / "bad-users").string(), "--port", "0", "--plain"},
      {"--root", root(), "--users", (dir_.path() / "missing").string(), "--port", "0", "--plain"},
      {"--root", root(), "--port", "0", "--plain"},
      {"--root", root(), "--users", users(), "--port", "70000", "--plain"},
      {"--root", root(), "--users", users(), "--bogus", "1", "--plain"},
      {"--root", root(), "--users", users(), "--port", "0", "--bind", "not-an-address", "--plain"},
      // No certificate and no --plain; a certificate that cannot be read; plain and TLS at once.
      {"--root", root(), "--users", users(), "--port", "0"},
      {"--root", root(), "--users", users(), "--port", "0", "--tls-cert", users()},
      {"--root", root(), "--users", users(), "--port", "0", "--tls-cert", users(), "--tls-key", users()},
      {"--root", root(), "--users", users(), "--port", "0", "--plain", "--tls-cert", users()},
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
  Child c = Spawn({"--root", root(), "--users", (dir_.path() / "bad-users").string(), "--plain"});
  EXPECT_NE(ReadLineFrom(c.err).find("line 2"), std::string::npos);
  WaitExit(c.pid, std::chrono::seconds(5));
  ::close(c.out);
  ::close(c.err);
}

}  // namespace
}  // namespace ovr::test
