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
  uint64_t PartialBytes() const {
    uint64_t bytes = 0;
    for (const auto& e : fs::recursive_directory_iterator(fs::path(root()) / ".ovreceiver/partial"))
      if (e.is_regular_file()) bytes += e.file_size();
    return bytes;
  }
  ScratchDir dir_;
};

TEST_F(ProcessTest, StopsCleanlyOnSigtermKeepingPartialData) {
  for (int sig : {SIGTERM, SIGINT}) {
    ReceiverProcess receiver;
    ASSERT_TRUE(receiver.Start(root(), users()));
    EXPECT_NE(receiver.http_port(), 0u);

    Client client(receiver.port());
    ASSERT_TRUE(client.Login());
    std::string data = RandomBytes(5000);
    ASSERT_EQ(client.Command("PUT part.bin 5000"), sig == SIGTERM ? "OK 0" : "OK 2000");
    ASSERT_EQ(client.Command("FROM 5000"), sig == SIGTERM ? "OK 0" : "OK 2000");
    if (sig == SIGTERM) client.Send(data.substr(0, 2000));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));

    EXPECT_EQ(receiver.Stop(sig), 0);
    EXPECT_EQ(ReadToEnd(client.fd()), "");  // the server closed the connection
  }
  EXPECT_FALSE(fs::exists(fs::path(root()) / "part.bin"));
  EXPECT_TRUE(fs::exists(fs::path(root()) / ".ovreceiver" / "received.log"));
}

TEST_F(ProcessTest, SigkillMidFileLosesNothingWritten) {
  std::string data = RandomBytes(3 << 20, 5);
  {
    ReceiverProcess receiver;
    ASSERT_TRUE(receiver.Start(root(), users()));
    Client c(receiver.port());
    ASSERT_TRUE(c.Login());
    ASSERT_EQ(c.Command("PUT v.bin " + std::to_string(data.size())), "OK 0");
    ASSERT_EQ(c.Command("FROM 0"), "OK 0");
    c.Send(data.substr(0, 1 << 20));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    receiver.Stop(SIGKILL);
  }
  ReceiverProcess receiver;
  ASSERT_TRUE(receiver.Start(root(), users()));
  Client c(receiver.port());
  ASSERT_TRUE(c.Login());
  std::string put = c.Command("PUT v.bin " + std::to_string(data.size()));
  uint64_t held = 0;
  ASSERT_TRUE(put.rfind("OK ", 0) == 0 && ovt::ParseNumber(put.substr(3), &held)) << put;
  EXPECT_EQ(held, 1u << 20);
  EXPECT_EQ(c.Command("FROM " + std::to_string(held)), "OK " + std::to_string(held));
  c.Send(data.substr(held));
  EXPECT_EQ(c.Command("END " + Sum(data)), "OK " + std::to_string(data.size()) + ' ' + Sum(data));
  EXPECT_EQ(ReadFile(fs::path(root()) / "v.bin"), data);
}

TEST_F(ProcessTest, FailedLoginsAreReportedWithAddressAndUser) {
  ReceiverProcess receiver;
  ASSERT_TRUE(receiver.Start(root(), users(), {"--login-delay-max", "1s"}));
  Client c(receiver.port());
  ASSERT_EQ(c.Command("HELLO OVT/1"), "OK OVT/1");
  EXPECT_EQ(c.Command("LOGIN mallory%0Aforged guess").rfind("ERR 401 ", 0), 0u);
  std::string line = ReadLineFrom(receiver.err());
  if (line.find("in clear for: alice") != std::string::npos) line = ReadLineFrom(receiver.err());
  EXPECT_NE(line.find("failed login from 127.0.0.1 as mallory%0Aforged"), std::string::npos)
      << line;
}

TEST_F(ProcessTest, OldPartialDataIsRemovedAtStart) {
  {
    ReceiverProcess receiver;
    ASSERT_TRUE(receiver.Start(root(), users()));
    for (const char* name : {"old.bin", "new.bin"}) {
      Client c(receiver.port());
      ASSERT_TRUE(c.Login());
      ASSERT_EQ(c.Command(std::string("PUT ") + name + " 10"), "OK 0");
      ASSERT_EQ(c.Command("FROM 0"), "OK 0");
      c.Send("12345");
    }
    ASSERT_TRUE(WaitFor([&] { return PartialBytes() == 10; }, std::chrono::seconds(5)));
    receiver.Stop();
  }
  // Eight days untouched: one of the two partial files.
  auto eight_days_ago = fs::file_time_type::clock::now() - std::chrono::hours(24 * 8);
  for (const auto& entry : fs::recursive_directory_iterator(fs::path(root()) / ".ovreceiver/partial"))
    if (entry.is_regular_file() && fs::file_size(entry.path()) == 5) {
      fs::last_write_time(entry.path(), eight_days_ago);
      break;
    }
  ReceiverProcess receiver;
  ASSERT_TRUE(receiver.Start(root(), users(), {"--partial-max-age", "7d"}));
  Client c(receiver.port());
  ASSERT_TRUE(c.Login());
  std::string old_put = c.Command("PUT old.bin 10"), new_put = c.Command("PUT new.bin 10");
  EXPECT_TRUE((old_put == "OK 0") != (new_put == "OK 0")) << old_put << ' ' << new_put;
  EXPECT_TRUE(old_put == "OK 5" || new_put == "OK 5");
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
      {"--root", root(), "--users", users(), "--port", "0", "--login-timeout", "5x", "--plain"},
      {"--root", root(), "--users", users(), "--port", "0", "--pending-per-address", "0", "--plain"},
      {"--root", root(), "--users", users(), "--port", "0", "--partial-bytes-per-user", "99999999999T", "--plain"},
      // No certificate and no --plain; a certificate that cannot be read; plain and TLS at once.
      {"--root", root(), "--users", users(), "--port", "0"},
      {"--root", root(), "--users", users(), "--port", "0", "--tls-cert", users(), "--tls-key", users()},
      {"--root", root(), "--users", users(), "--port", "0", "--plain", "--tls-cert", users()},
  };
  for (const auto& args : cases) {
    ReceiverProcess c;
    c.Spawn(args);
    EXPECT_EQ(ReadLineFrom(c.out()), "");
    std::string message = ReadLineFrom(c.err());
    EXPECT_EQ(message.rfind("ovreceiver: ", 0), 0u) << message;
    EXPECT_EQ(c.Stop(0), 2) << args.back();
  }
  ReceiverProcess c;
  c.Spawn({"--root", root(), "--users", (dir_.path() / "bad-users").string(), "--plain"});
  EXPECT_NE(ReadLineFrom(c.err()).find("line 2"), std::string::npos);
  c.Stop(0);
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

  Child c = Spawn({"--root", root(), "--users", users(), "--port", "0", "--bind", "127.0.0.1",
                   "--plain"});
  std::string warning = ReadLineFrom(c.err.Get());
  while (!warning.empty() && warning.find("in clear for") == std::string::npos)
    warning = ReadLineFrom(c.err.Get());
  EXPECT_NE(warning.find("in clear for: alice ("), std::string::npos) << warning;
  unsigned upload = 0;
  ASSERT_EQ(std::sscanf(ReadLineFrom(c.out.Get()).c_str(), "ovreceiver ready upload=%u", &upload), 1);
  for (auto [user, password, ok] : {std::tuple{"carol", "c4rol%20pw", true},
                                    std::tuple{"carol", "c4rol%20pX", false},
                                    std::tuple{"alice", "secret", true}}) {
    Client client(static_cast<uint16_t>(upload));
    EXPECT_EQ(client.Command("HELLO OVT/1"), "OK OVT/1");
    EXPECT_EQ(client.Command(std::string("LOGIN ") + user + " " + password),
              ok ? "OK" : "ERR 401 wrong%20user%20name%20or%20password");
  }
  EXPECT_EQ(c.Stop(), 0);
}

}  // namespace
}  // namespace ovr::test
