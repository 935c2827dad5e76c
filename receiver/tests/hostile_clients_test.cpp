// What one cheap client can try against everyone else: piling up HTTP heads, floods of
// connections, password guessing, idle sessions, heaps of unfinished files, vanishing
// mid-file, and names that could never be placed.
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <vector>

#include "support.h"

namespace ovr::test {
namespace {

using Clock = std::chrono::steady_clock;

std::string HttpReply(int fd) {
  std::string r = ReadToEnd(fd);
  return r.size() >= 12 ? r.substr(9, 3) : r;
}

// Resets the connection instead of closing it politely.
void Reset(UniqueFd fd) {
  linger l{1, 0};
  ::setsockopt(fd.Get(), SOL_SOCKET, SO_LINGER, &l, sizeof l);
}

class HostileProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteFile(dir_.path() / "users", "alice:secret\n");
    fs::permissions(dir_.path() / "users", fs::perms::owner_read | fs::perms::owner_write);
  }
  bool Start(std::vector<std::string> options = {}) {
    return receiver_.Start(dir_.path() / "root", dir_.path() / "users", options);
  }
  ScratchDir dir_;
  ReceiverProcess receiver_;
};

TEST_F(HostileProcessTest, HttpHeadsAnnouncingBigBodiesHoldNoMemoryAndEndWithTheirClients) {
  // Limits opened wide, so that every head stays: what is held is what they cost.
  ASSERT_TRUE(Start({"--http-per-address", "1000", "--http-total", "1000"}));
  const long rss_before = receiver_.ResidentKiB();
  const size_t fds_before = receiver_.Descriptors();
  std::vector<UniqueFd> clients;
  for (int i = 0; i < 250; ++i) {
    UniqueFd fd = Connect(receiver_.http_port());
    ASSERT_TRUE(fd.Valid());
    SendAll(fd.Get(), "POST /s?$dur$=1 HTTP/1.1\r\nContent-Length: 2047998\r\n\r\n");
    clients.push_back(std::move(fd));
  }
  ASSERT_TRUE(WaitFor([&] { return receiver_.Descriptors() >= fds_before + 250; },
                      std::chrono::seconds(5)));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // every head read
  const long grown = receiver_.ResidentKiB() - rss_before;
  EXPECT_LT(grown, 4 * 1024) << "KiB for 250 heads";

  auto closed = Clock::now();
  clients.clear();
  EXPECT_TRUE(WaitFor([&] { return receiver_.Descriptors() <= fds_before; },
                      std::chrono::seconds(1)))
      << receiver_.Descriptors() - fds_before << " descriptors left after "
      << std::chrono::duration<double>(Clock::now() - closed).count() << " s";
}

TEST_F(HostileProcessTest, IdleLoggedInSessionsStaySmall) {
  ASSERT_TRUE(Start());
  const std::string data = RandomBytes(1000, 3);
  auto session = [&](int i) {
    auto c = std::make_unique<Client>(receiver_.port());
    EXPECT_TRUE(c->Login());
    // A file first, so that the data buffer was taken and has to be given back.
    EXPECT_EQ(c->Upload("idle/" + std::to_string(i), data), "OK 1000 " + Sum(data));
    return c;
  };
  std::vector<std::unique_ptr<Client>> warm;
  for (int i = 0; i < 20; ++i) warm.push_back(session(i));
  warm.clear();
  std::this_thread::sleep_for(std::chrono::milliseconds(1200));
  const long before = receiver_.ResidentKiB();
  std::vector<std::unique_ptr<Client>> idle;
  for (int i = 0; i < 300; ++i) idle.push_back(session(i));
  std::this_thread::sleep_for(std::chrono::milliseconds(1200));  // bytes stopped
  const double per_session = (receiver_.ResidentKiB() - before) / 300.0;
  EXPECT_LT(per_session, 32.0) << "KiB per idle session";
  RecordProperty("KiB_per_idle_session", std::to_string(per_session));

  // Sessions that pause in the middle of a file give the data buffer back too.
  const long before_paused = receiver_.ResidentKiB();
  std::vector<std::unique_ptr<Client>> paused;
  for (int i = 0; i < 100; ++i) {
    paused.push_back(std::make_unique<Client>(receiver_.port()));
    Client& c = *paused.back();
    ASSERT_TRUE(c.Login());
    ASSERT_EQ(c.Command("PUT paused/" + std::to_string(i) + " 2000"), "OK 0");
    ASSERT_EQ(c.Command("FROM 0"), "OK 0");
    c.Send(data);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));
  const double per_paused = (receiver_.ResidentKiB() - before_paused) / 100.0;
  EXPECT_LT(per_paused, 32.0) << "KiB per paused session";
  RecordProperty("KiB_per_paused_session", std::to_string(per_paused));
  // and take it again when their bytes resume.
  Client& last = *paused.back();
  last.Send(data);
  EXPECT_EQ(last.Command("END " + Sum(data + data)), "OK 2000 " + Sum(data + data));
}

using HostileTest = ReceiverFixture;

TEST_F(HostileTest, ConnectResetFloodLeavesRoomForARealClient) {
  for (int i = 0; i < 20000; ++i) {
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port());
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::connect(fd.Get(), reinterpret_cast<sockaddr*>(&a), sizeof a), 0) << i;
    Reset(std::move(fd));
  }
  auto start = Clock::now();
  Client c(port());
  ASSERT_TRUE(c.connected());
  EXPECT_EQ(c.Command("HELLO OVT/1"), "OK OVT/1");
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(1));
  EXPECT_EQ(c.Command("LOGIN alice secret"), "OK");
  EXPECT_TRUE(WaitFor([&] { return server_->pending() == 0; }, std::chrono::seconds(2)));
}

TEST_F(HostileTest, OldestWaitingConnectionOfAnAddressMakesRoomAndSilentOnesTimeOut) {
  Limits limits;
  limits.pending_per_address = 4;
  limits.login_timeout = std::chrono::seconds(1);
  Restart(limits);
  std::vector<std::unique_ptr<Client>> silent;
  for (int i = 0; i < 4; ++i) silent.push_back(std::make_unique<Client>(port()));
  Client fifth(port());
  EXPECT_EQ(fifth.Command("HELLO OVT/1"), "OK OVT/1");
  EXPECT_EQ(ReadToEnd(silent[0]->fd()), "");  // the oldest went first
  EXPECT_EQ(server_->pending(), 4u);
  // A logged-in connection no longer counts; the silent rest end at the login deadline.
  EXPECT_EQ(fifth.Command("LOGIN alice secret"), "OK");
  auto start = Clock::now();
  EXPECT_EQ(ReadToEnd(silent[1]->fd()), "");
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(3));
  EXPECT_TRUE(WaitFor([&] { return server_->pending() == 0; }, std::chrono::seconds(1)));
  EXPECT_EQ(fifth.Upload("after", "bytes"), "OK 5 " + Sum("bytes"));
}

TEST_F(HostileTest, PasswordGuessingIsCutOffAndSlowedButTheRightPasswordStillWorks) {
  Limits limits;
  limits.login_delay_max = std::chrono::seconds(1);
  Restart(limits);
  {
    Client c(port());
    ASSERT_EQ(c.Command("HELLO OVT/1"), "OK OVT/1");
    EXPECT_EQ(c.Command("LOGIN alice guess1").rfind("ERR 401 ", 0), 0u);
    EXPECT_EQ(c.Command("LOGIN alice guess2").rfind("ERR 401 ", 0), 0u);
    EXPECT_EQ(c.Command("LOGIN alice guess3").rfind("ERR 401 ", 0), 0u);
    EXPECT_EQ(ReadToEnd(c.fd()), "");  // the third failure closes the connection
  }
  // Eight connections guessing at once, pipelined, for two seconds.
  std::atomic<int> answered{0};
  std::atomic<bool> stop{false};
  std::vector<std::thread> guessers;
  auto start = Clock::now();
  for (int i = 0; i < 8; ++i) {
    guessers.emplace_back([&, i] {
      while (!stop) {
        Client c(port());
        timeval tv{0, 200000};
        ::setsockopt(c.fd(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        std::string name = i % 2 ? "alice" : "user" + std::to_string(i);
        c.Send("HELLO OVT/1\nLOGIN " + name + " a\nLOGIN " + name + " b\nLOGIN " + name + " c\n");
        c.ReadLine();
        while (!stop) {
          std::string reply = c.ReadLine();
          if (reply.find("wrong") != std::string::npos) ++answered;  // a password checked
          else if (!reply.empty() || errno != EAGAIN) break;
        }
      }
    });
  }
  std::this_thread::sleep_for(std::chrono::seconds(2));
  stop = true;
  for (auto& t : guessers) t.join();
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  EXPECT_LE(answered / seconds, 4.0) << answered << " guesses answered in " << seconds << " s";

  // Once the guessing stops, the right password gets through within a bounded time. The
  // guessers' pipelined LOGINs already read by the receiver still take their turns after they
  // hang up (each at most the longest delay ahead), so the first tries may be refused.
  bool logged_in = false;
  for (auto deadline = Clock::now() + 12 * limits.login_delay_max;
       !logged_in && Clock::now() < deadline;) {
    Client c(port());
    logged_in = c.Login();
    if (!logged_in) std::this_thread::sleep_for(limits.login_delay_max / 2);
  }
  EXPECT_TRUE(logged_in);
}

TEST_F(HostileTest, PutTimeDoesNotGrowWithUnfinishedFiles) {
  // Two receivers side by side, one whose user holds 20 000 unfinished files. Both in
  // memory when the machine has it: twenty thousand files cost a disk tens of seconds.
  const fs::path base = fs::is_directory("/dev/shm") ? "/dev/shm" : fs::temp_directory_path();
  ScratchDir one(base), other(base);
  EventLog empty_log((one.path() / "log").string()), crowded_log((other.path() / "log").string());
  Storage empty_storage(one.path() / "root", empty_log, false);
  Storage crowded(other.path() / "root", crowded_log, false);
  for (int i = 0; i < 20000; ++i) {
    std::unique_ptr<Upload> up;
    ASSERT_TRUE(crowded.Begin("alice", "heap/" + std::to_string(i), 2, up).ok());
    uint64_t offset = 0;
    ASSERT_TRUE(up->From(0, offset).ok());
    up->Write("x", 1);
  }
  Server empty_server(*users_, empty_storage, "127.0.0.1", 0, uint16_t{0});
  Server crowded_server(*users_, crowded, "127.0.0.1", 0, uint16_t{0});
  std::thread serving([&] { crowded_server.Run(1); }), serving_empty([&] { empty_server.Run(1); });

  Client empty(empty_server.upload_port()), full(crowded_server.upload_port());
  ASSERT_TRUE(empty.Login());
  ASSERT_TRUE(full.Login());
  std::vector<double> empty_times, full_times;
  for (int i = 0; i < 400; ++i) {
    for (Client* c : {&empty, &full}) {
      // New names and names held, alternately.
      std::string name = (i % 2 ? "heap/" : "fresh/") + std::to_string(i * 37 % 20000);
      auto start = Clock::now();
      std::string reply = c->Command("PUT " + name + " 2");
      double took = std::chrono::duration<double>(Clock::now() - start).count();
      ASSERT_EQ(reply.rfind("OK ", 0), 0u) << reply;
      (c == &empty ? empty_times : full_times).push_back(took);
    }
  }
  EXPECT_EQ(full.Command("PUT heap/7 2"), "OK 1");
  crowded_server.Stop();
  empty_server.Stop();
  serving.join();
  serving_empty.join();
  auto median = [](std::vector<double> v) {
    std::nth_element(v.begin(), v.begin() + v.size() / 2, v.end());
    return v[v.size() / 2];
  };
  // A look through the 20 000 unfinished files on each PUT would grow far past this; a shared,
  // busy machine alone has been seen to add up to 1.8 between the two.
  const double ratio = median(full_times) / median(empty_times);
  EXPECT_LT(ratio, 5.0) << median(full_times) * 1e6 << " us against " << median(empty_times) * 1e6;
  RecordProperty("put_time_ratio", std::to_string(ratio));
}

TEST_F(HostileTest, PartialBytesPerUserAreCapped) {
  Limits limits;
  limits.partial_bytes_per_user = 1 << 20;
  Restart(limits);
  Client a(port()), b(port());
  ASSERT_TRUE(a.Login());
  ASSERT_TRUE(b.Login());
  std::string data = RandomBytes(600000, 4);
  ASSERT_EQ(a.Command("PUT cap/a 600000"), "OK 0");
  ASSERT_EQ(a.Command("FROM 0"), "OK 0");
  std::string refused = b.Command("PUT cap/b 600000");
  EXPECT_EQ(refused.rfind("ERR 500 ", 0), 0u) << refused;
  EXPECT_NE(refused.find("limit"), std::string::npos) << refused;
  EXPECT_EQ(Client(port()).Login("bob", "b0b") ? "bob is not limited by alice" : "",
            "bob is not limited by alice");
  a.Send(data);
  EXPECT_EQ(a.Command("END " + Sum(data)), "OK 600000 " + Sum(data));
  EXPECT_EQ(b.Upload("cap/b", data), "OK 600000 " + Sum(data));  // room again
  EXPECT_EQ(storage_->PartialBytes("alice"), 0u);
}

TEST_F(HostileTest, AVanishedClientsFileIsTakenOverAtOnce) {
  std::string data = RandomBytes(2 << 20, 9);
  const std::string size = std::to_string(data.size());
  // The old connection sends part of the file and then is silent: no FIN, no reset, as
  // after a Wi-Fi drop.
  Client vanished(port());
  ASSERT_TRUE(vanished.Login());
  ASSERT_EQ(vanished.Command("PUT movie.bin " + size), "OK 0");
  ASSERT_EQ(vanished.Command("FROM 0"), "OK 0");
  vanished.Send(data.substr(0, 700000));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));

  Client back(port());
  ASSERT_TRUE(back.Login());
  auto start = Clock::now();
  std::string put = back.Command("PUT movie.bin " + size);
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(500));
  EXPECT_EQ(put, "OK 700000");
  EXPECT_EQ(back.Command("FROM 700000"), "OK 700000");
  back.Send(data.substr(700000));
  EXPECT_EQ(back.Command("END " + Sum(data)), "OK " + size + ' ' + Sum(data));
  EXPECT_EQ(ReadFile(root() / "movie.bin"), data);
  EXPECT_EQ(ReadToEnd(vanished.fd()), "");  // the old connection was closed
}

TEST_F(HostileTest, RacingConnectionsNeverMixTheirBytes) {
  const std::string mine = RandomBytes(1 << 20, 10), theirs = RandomBytes(1 << 20, 11);
  const std::string size = std::to_string(mine.size());
  Client older(port()), newer(port());
  ASSERT_TRUE(older.Login());
  ASSERT_TRUE(newer.Login());
  ASSERT_EQ(older.Command("PUT race.bin " + size), "OK 0");
  ASSERT_EQ(older.Command("FROM 0"), "OK 0");
  older.Send(theirs.substr(0, 300000));
  // The older connection keeps sending while the newer one takes the file and starts over.
  std::atomic<bool> stop{false};
  std::thread sender([&] {
    for (size_t at = 300000; !stop && at < theirs.size(); at += 4096)
      if (!older.Send(theirs.substr(at, 4096))) break;
  });
  std::string put = newer.Command("PUT race.bin " + size);
  EXPECT_EQ(put.rfind("OK ", 0), 0u) << put;
  EXPECT_EQ(newer.Command("FROM 0"), "OK 0");
  newer.Send(mine);
  EXPECT_EQ(newer.Command("END " + Sum(mine)), "OK " + size + ' ' + Sum(mine));
  stop = true;
  sender.join();
  EXPECT_EQ(ReadFile(root() / "race.bin"), mine);
  EXPECT_EQ(older.Command("END " + Sum(theirs)), "");  // the loser's connection is gone
}

TEST_F(HostileTest, NamesThatCouldNeverBePlacedAreRefusedAtPut) {
  fs::create_directories(root());
  fs::create_directory_symlink(root() / ".ovreceiver", root() / "adminpriv");
  ScratchDir elsewhere;
  fs::create_directory_symlink(elsewhere.path(), root() / "media");
  Client c(port());
  ASSERT_TRUE(c.Login());
  std::string deep, deeper;
  for (int i = 0; i < 64; ++i) deep += "d/";
  deeper = deep + "d/x";
  deep += "x";
  EXPECT_EQ(c.Command("PUT " + deeper + " 1").rfind("ERR 403 ", 0), 0u);
  EXPECT_EQ(c.Command("MKDIR " + deeper).rfind("ERR 403 ", 0), 0u);
  EXPECT_EQ(c.Upload(deep.substr(2), "1"), "OK 1 " + Sum("1"));  // 64 segments fit

  for (const char* name : {"adminpriv/received.log", "adminpriv/partial/x", "adminpriv"})
    EXPECT_EQ(c.Command(std::string("PUT ") + name + " 1").rfind("ERR 403 ", 0), 0u) << name;
  EXPECT_EQ(c.Command("MKDIR adminpriv/x").rfind("ERR 403 ", 0), 0u);
  // Administrators' links elsewhere are followed.
  EXPECT_EQ(c.Upload("media/clip.bin", "clip"), "OK 4 " + Sum("clip"));
  EXPECT_EQ(ReadFile(elsewhere.path() / "clip.bin"), "clip");
}

TEST_F(HostileTest, FuzzedSessionsLeaveTheReceiverServingAndTheRootIntact) {
  std::mt19937 rng(2024);
  auto pick = [&](std::initializer_list<const char*> options) {
    auto it = options.begin();
    std::advance(it, rng() % options.size());
    return std::string(*it);
  };
  auto field = [&] {
    switch (rng() % 6) {
      case 0: return pick({"..", "../../etc/passwd", "%2E%2E/x", "a/../../b", "/abs", ".ovreceiver/x"});
      case 1: return pick({"0", "1", "18446744073709551615", "18446744073709551616", "-1", ""});
      case 2: return pick({"%", "%zz", "%00", "a%2Fb", "%C0%AF", "x?q=1"});
      case 3: return RandomBytes(rng() % 40, rng());
      case 4: return std::string(rng() % 300, 'a');
      default: return pick({"alice", "secret", "f.bin", "d/e/f", "ef46db3751d8e999"});
    }
  };
  const int kSessions = 1000;
  for (int i = 0; i < kSessions; ++i) {
    std::string script = rng() % 4 ? "HELLO OVT/1\nLOGIN alice secret\n" : "";
    for (int n = 1 + rng() % 8; n > 0; --n) {
      std::string verb = pick({"HELLO", "LOGIN", "MKDIR", "PUT", "FROM", "END", "BYE", "XYZ"});
      script += verb;
      for (int k = rng() % 4; k > 0; --k) script += ' ' + field();
      script += pick({"\n", "\r\n", "\n\n", ""});
      if (rng() % 5 == 0) script += RandomBytes(rng() % 3000, rng());
    }
    Client c(port());
    ASSERT_TRUE(c.connected()) << i;
    c.Send(script);
    ::shutdown(c.fd(), SHUT_WR);
    ReadToEnd(c.fd());  // the receiver ends every session, whatever it was sent
  }
  Client c(port());
  ASSERT_TRUE(c.Login());
  EXPECT_EQ(c.Upload("after/fuzz", "ok"), "OK 2 " + Sum("ok"));
  for (const auto& entry : fs::directory_iterator(dir_.path()))
    EXPECT_TRUE(entry.path() == root() || entry.path().filename() == "received.log") << entry.path();
}

TEST_F(HostileTest, HttpBodiesBeyondTheBudgetAreRefused) {
  Limits limits;
  limits.http_bytes_per_address = 1 << 20;
  Restart(limits);
  // One still is under way; a second from the same address would pass the budget.
  UniqueFd first = Connect(http_port());
  std::string still = RandomBytes(900000, 12);
  SendAll(first.Get(), "POST /s?$dur$=1 HTTP/1.1\r\nContent-Length: 900000\r\n\r\n" +
                     still.substr(0, 800000));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  UniqueFd second = Connect(http_port());
  SendAll(second.Get(), "POST /s?$dur$=2 HTTP/1.1\r\nContent-Length: 900000\r\n\r\n" +
                      still.substr(0, 500000));
  EXPECT_EQ(HttpReply(second.Get()), "503");
  second.Reset();
  SendAll(first.Get(), still.substr(800000));
  EXPECT_EQ(HttpReply(first.Get()), "200");
  first.Reset();
  EXPECT_EQ(ReadFile(root() / "stills/1.jpg"), still);
}

}  // namespace
}  // namespace ovr::test
