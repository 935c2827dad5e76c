// The configuration file: every option as a key, the command line over it, faults by line.
#include <cstdlib>
#include <fstream>
#include <regex>
#include <set>

#include "child.h"

namespace ovr::test {
namespace {

class ConfigTest : public ::testing::Test {
 protected:
  void SetUp() override { WriteFile(path("users"), "alice:secret\n"); }
  std::string path(const std::string& name) const { return (dir_.path() / name).string(); }
  // Exit status and first error line of a start that is expected to fail.
  std::pair<int, std::string> FailedStart(const std::string& config) {
    WriteFile(path("bad.conf"), config);
    Child c = Spawn({"--config", path("bad.conf"), "--port", "0", "--bind", "127.0.0.1", "--plain"});
    std::string message = ReadLineFrom(c.err.Get());
    return {WaitExit(c.pid, std::chrono::seconds(5)), message};
  }
  ScratchDir dir_;
};

TEST_F(ConfigTest, FileSetsOptionsTheCommandLineOverridesAndBadLinesStopWithTheirNumber) {
  WriteFile(path("ovreceiver.conf"),
            "# test site\n\n"
            "root = " + path("root") + "\n"
            "users=" + path("users") + "\n"
            "  log =  " + path("uploads.log") + "  \n"
            "bind = 192.0.2.1\n"  // not on this machine: the command line's address must win
            "port = 1\n"
            "http-port = 0\n"
            "metrics-port = 0\n"
            "metrics-bind = 127.0.0.1\n"
            "sync = yes\n"
            "plain = true\n");
  {
    RunningReceiver receiver({"--config", path("ovreceiver.conf")});
    unsigned upload = 0, http = 0, metrics = 0;
    ASSERT_EQ(std::sscanf(receiver.ready().c_str(), "ovreceiver ready upload=%u http=%u metrics=%u",
                          &upload, &http, &metrics), 3) << receiver.ready();
    EXPECT_NE(http, 0u);
    EXPECT_NE(metrics, 0u);
    Client c(receiver.upload_port());
    ASSERT_TRUE(c.Login());
    EXPECT_EQ(c.Upload("a.txt", "abc").rfind("OK", 0), 0u);
    EXPECT_EQ(ReadFile(dir_.path() / "root" / "a.txt"), "abc");
    EXPECT_EQ(ReadFile(path("uploads.log")).rfind("FILE\talice\t3\t", 0), 0u);
  }

  const std::string base = "root = " + path("root") + "\nusers = " + path("users") + "\n";
  struct {
    std::string lines;
    const char* message;
  } cases[] = {
      {"port = 70000\n", "line 3: bad value for --port: 70000"},
      {"# fine\nmax-speed = 10\n", "line 4: unknown option --max-speed"},
      {"bind\n", "line 3: expected key = value"},
      {"sync = maybe\n", "line 3: bad value for sync"},
      {"http-port =\n", "line 3: bad value for --http-port"},
      {"config = /etc/other.conf\n", "line 3: a configuration file cannot name another"},
  };
  for (const auto& c : cases) {
    auto [status, message] = FailedStart(base + c.lines);
    EXPECT_EQ(status, 2) << c.lines;
    EXPECT_EQ(message.rfind("ovreceiver: " + path("bad.conf") + " " + c.message, 0), 0u)
        << message;
  }
  auto [status, message] = FailedStart("\xff\n");
  EXPECT_EQ(status, 2);
  EXPECT_NE(message.find("UTF-8"), std::string::npos) << message;
}

// The shipped file shows every option the program has, each with a value it accepts.
TEST_F(ConfigTest, ShippedFileShowsEveryOptionAndStartsWithAllOfThemSet) {
  // The options, as the usage text lists them.
  FILE* help = ::popen(OVRECEIVER_BINARY " --help", "r");
  ASSERT_NE(help, nullptr);
  std::string usage;
  char buf[4096];
  for (size_t n; (n = std::fread(buf, 1, sizeof buf, help)) > 0;) usage.append(buf, n);
  ::pclose(help);
  std::set<std::string> options;
  std::regex option("--([a-z][a-z0-9-]+)");
  for (std::sregex_iterator it(usage.begin(), usage.end(), option), end; it != end; ++it)
    options.insert((*it)[1]);
  for (const char* not_a_key : {"help", "version", "config"}) options.erase(not_a_key);
  ASSERT_GT(options.size(), 8u) << usage;

  // Every line "key = value" of the shipped file, commented out or not, set in a copy whose
  // folders are the scratch folder's.
  std::ifstream shipped(OVRECEIVER_SHIPPED_CONFIG);
  ASSERT_TRUE(shipped);
  std::set<std::string> keys;
  std::string all;
  std::regex setting("^#?([a-z][a-z0-9-]*) = (.+)$");
  for (std::string line; std::getline(shipped, line);) {
    std::smatch m;
    if (!std::regex_match(line, m, setting)) continue;
    keys.insert(m[1]);
    std::string value = std::regex_replace(m[2].str(), std::regex("^/(etc|var/lib|var/log)/ovreceiver"),
                                           dir_.path().string());
    all += m[1].str() + " = " + value + "\n";
  }
  EXPECT_EQ(keys, options) << "the shipped configuration and --help name different options";
  WriteFile(path("users"), "alice:secret\n");
  WriteFile(path("all.conf"), all);
  fs::create_directories(dir_.path() / "tls");
  std::string make_cert = "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=localhost -keyout '" +
                          path("tls/key.pem") + "' -out '" + path("tls/cert.pem") + "' 2>/dev/null";
  ASSERT_EQ(std::system(make_cert.c_str()), 0);
  // Fixed ports may be taken on a test machine: the command line moves them.
  Child c = Spawn({"--config", path("all.conf"), "--http-port", "0", "--metrics-port", "0",
                   "--port", "0", "--bind", "127.0.0.1"});
  std::string ready = ReadLineFrom(c.out.Get());
  EXPECT_EQ(ready.rfind("ovreceiver ready upload=", 0), 0u) << ReadLineFrom(c.err.Get()) << "\n" << all;
  EXPECT_EQ(c.Stop(), 0);
}

}  // namespace
}  // namespace ovr::test
