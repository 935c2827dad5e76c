// What an operator does to a running receiver: reload users and log on SIGHUP, read metrics.
#include <atomic>
#include <set>
#include <thread>

#include "child.h"

namespace ovr::test {
namespace {

class OperationsTest : public ::testing::Test {
 protected:
  std::string path(const char* name) const { return (dir_.path() / name).string(); }
  std::vector<std::string> Args() const {
    return {"--root", path("root"), "--users", path("users"), "--log", path("received.log")};
  }
  ScratchDir dir_;
};

TEST_F(OperationsTest, SighupSwapsUsersWhileAnUploadGoesOnAndKeepsThemWhenTheFileIsBad) {
  WriteFile(path("users"), "alice:secret\nbob:" + HashPassword("b0b") + "\n");
  RunningReceiver receiver(Args());
  ASSERT_NE(receiver.upload_port(), 0) << receiver.ready();

  Client alice(receiver.upload_port());
  ASSERT_TRUE(alice.Login());
  std::string data = RandomBytes(3 << 20);
  ASSERT_EQ(alice.Command("PUT big.bin " + std::to_string(data.size())), "OK 0");
  ASSERT_EQ(alice.Command("FROM 0"), "OK 0");
  ASSERT_TRUE(alice.Send(data.substr(0, data.size() / 2)));

  // bob goes, carol comes.
  WriteFile(path("users"), "alice:secret\ncarol:" + HashPassword("c4rol") + "\n");
  receiver.Signal(SIGHUP);
  EXPECT_NE(receiver.ErrorsUntil("reloaded").find("reloaded 2 users"), std::string::npos);
  auto login = [&](const char* user, const char* password) {
    Client c(receiver.upload_port());
    return c.Login(user, password);
  };
  EXPECT_TRUE(login("carol", "c4rol"));
  EXPECT_FALSE(login("bob", "b0b"));

  // A broken file changes nothing and says why.
  WriteFile(path("users"), "alice:secret\nbroken\n");
  receiver.Signal(SIGHUP);
  std::string said = receiver.ErrorsUntil("keeping");
  EXPECT_NE(said.find("line 2"), std::string::npos) << said;
  EXPECT_NE(said.find("keeping the 2 users"), std::string::npos) << said;
  EXPECT_TRUE(login("carol", "c4rol"));

  ASSERT_TRUE(alice.Send(data.substr(data.size() / 2)));
  EXPECT_EQ(alice.Command("END " + Sum(data)), "OK " + std::to_string(data.size()) + " " + Sum(data));
  EXPECT_EQ(ReadFile(dir_.path() / "root" / "big.bin"), data);
}

TEST_F(OperationsTest, ALogRotatedUnderLoadKeepsEveryFileLine) {
  WriteFile(path("users"), "alice:secret\n");
  RunningReceiver receiver(Args());
  ASSERT_NE(receiver.upload_port(), 0) << receiver.ready();

  // One connection uploads all the time while the log is moved away and reopened.
  constexpr int kBefore = 30, kAfter = 5;
  std::atomic<int> done{0};
  std::thread uploader([&] {
    Client c(receiver.upload_port());
    if (!c.Login()) return;
    for (int i = 0; i < kBefore; ++i) {
      if (c.Upload("busy-" + std::to_string(i), RandomBytes(2000, i)).rfind("OK", 0) != 0) return;
      ++done;
    }
  });
  while (done < 5) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  fs::rename(path("received.log"), path("received.log.1"));
  receiver.Signal(SIGHUP);
  receiver.ErrorsUntil("reloaded");
  uploader.join();
  ASSERT_EQ(done, kBefore);
  Client c(receiver.upload_port());
  ASSERT_TRUE(c.Login());
  for (int i = 0; i < kAfter; ++i)
    ASSERT_EQ(c.Upload("after-" + std::to_string(i), "x").rfind("OK", 0), 0u);

  std::string fresh = ReadFile(path("received.log"));
  std::multiset<std::string> names;
  for (const std::string& text : {ReadFile(path("received.log.1")), fresh}) {
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);)
      if (line.rfind("FILE\t", 0) == 0) names.insert(line.substr(line.rfind('\t') + 1));
  }
  EXPECT_EQ(names.size(), size_t{kBefore + kAfter});
  EXPECT_EQ(std::set<std::string>(names.begin(), names.end()).size(), names.size());
  EXPECT_NE(fresh.find("FILE\talice\t1\t"), std::string::npos);  // after the reload: the new file
}

// The value of a metric line such as `ovreceiver_logins_total{result="ok"}`; -1 if absent.
long long Metric(const std::string& page, const std::string& series) {
  size_t at = page.find("\n" + series + " ");
  return at == std::string::npos ? -1 : std::stoll(page.substr(at + series.size() + 2));
}

TEST_F(OperationsTest, MetricsCountUploadsFailedLoginsResumesAndHeldBytes) {
  WriteFile(path("users"), "alice:secret\n");
  std::vector<std::string> args = Args();
  args.insert(args.end(), {"--metrics-port", "0", "--metrics-bind", "127.0.0.1"});
  RunningReceiver receiver(args);
  ASSERT_NE(receiver.metrics_port(), 0) << receiver.ready();

  EXPECT_FALSE(Client(receiver.upload_port()).Login("alice", "wrong"));
  Client c(receiver.upload_port());
  ASSERT_TRUE(c.Login());
  std::string whole = RandomBytes(3000), resumed = RandomBytes(1000, 2);
  ASSERT_EQ(c.Upload("whole.bin", whole).rfind("OK", 0), 0u);
  {
    Client broken(receiver.upload_port());
    ASSERT_TRUE(broken.Login());
    ASSERT_EQ(broken.Command("PUT resumed.bin 1000"), "OK 0");
    ASSERT_EQ(broken.Command("FROM 0"), "OK 0");
    broken.Send(resumed.substr(0, 400));
  }
  // The claim is released only when the broken connection is gone: all 400 bytes are held.
  ASSERT_EQ(c.Command("PUT resumed.bin 1000"), "OK 400");
  std::string page = HttpGet(receiver.metrics_port(), "/metrics");
  EXPECT_EQ(Metric(page, "ovreceiver_partial_bytes"), 400) << page;
  EXPECT_EQ(Metric(page, "ovreceiver_connections{state=\"ready\"}"), 1) << page;
  ASSERT_EQ(c.Command("FROM 400"), "OK 400");
  c.Send(resumed.substr(400));
  ASSERT_EQ(c.Command("END " + Sum(resumed)).rfind("OK", 0), 0u);
  ASSERT_EQ(c.Upload("small.bin", "abc").rfind("OK", 0), 0u);
  ASSERT_EQ(c.Command("PUT bad.bin 3"), "OK 0");
  ASSERT_EQ(c.Command("FROM 0"), "OK 0");
  c.Send("abc");
  EXPECT_EQ(c.Command("END 0000000000000000").rfind("ERR 409", 0), 0u);

  page = HttpGet(receiver.metrics_port(), "/metrics");
  EXPECT_EQ(page.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << page;
  EXPECT_NE(page.find("# TYPE ovreceiver_logins_total counter"), std::string::npos);
  EXPECT_EQ(Metric(page, "ovreceiver_logins_total{result=\"failed\"}"), 1) << page;
  EXPECT_EQ(Metric(page, "ovreceiver_logins_total{result=\"ok\"}"), 2) << page;
  EXPECT_EQ(Metric(page, "ovreceiver_uploads_total{result=\"completed\"}"), 3) << page;
  EXPECT_EQ(Metric(page, "ovreceiver_uploads_total{result=\"failed\"}"), 1) << page;
  EXPECT_EQ(Metric(page, "ovreceiver_uploads_resumed_total"), 1) << page;
  EXPECT_EQ(Metric(page, "ovreceiver_received_bytes_total"), 3000 + 1000 + 3 + 3) << page;
  EXPECT_EQ(Metric(page, "ovreceiver_partial_bytes"), 0) << page;
  EXPECT_EQ(Metric(page, "ovreceiver_connections{state=\"ready\"}"), 1) << page;
  EXPECT_EQ(Metric(page, "ovreceiver_connections{state=\"data\"}"), 0) << page;
  EXPECT_EQ(HttpGet(receiver.metrics_port(), "/other").rfind("HTTP/1.1 404", 0), 0u);
}

}  // namespace
}  // namespace ovr::test
