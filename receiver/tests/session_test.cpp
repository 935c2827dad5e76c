// Whole sessions over loopback against an in-process receiver.
#include <atomic>
#include <vector>

#include "support.h"

namespace ovr::test {
namespace {

using SessionTest = ReceiverFixture;

TEST_F(SessionTest, UploadsNestedFileInPiecesAndLogsIt) {
  Client c(port());
  ASSERT_TRUE(c.Login());
  EXPECT_EQ(c.Command("MKDIR demo/empty%20folder"), "OK");
  std::string data = RandomBytes(700000);
  ASSERT_EQ(c.Command("PUT demo/%E4%B8%AD%20v.csf?k=1 700000"), "OK 0");
  ASSERT_EQ(c.Command("FROM 0"), "OK 0");
  c.Send(data.substr(0, 1000));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));  // the client may pause
  c.Send(data.substr(1000));
  EXPECT_EQ(c.Command("END " + Sum(data)), "OK 700000 " + Sum(data));
  EXPECT_EQ(c.Command("BYE"), "OK");
  EXPECT_EQ(ReadToEnd(c.fd()), "");  // and the server closes

  EXPECT_TRUE(fs::is_directory(root() / "demo/empty folder"));
  EXPECT_EQ(ReadFile(root() / "demo/\xE4\xB8\xAD v.csf"), data);
  EXPECT_EQ(Log(), "FILE\talice\t700000\t" + Sum(data) + "\tdemo/\xE4\xB8\xAD v.csf\n");
}

TEST_F(SessionTest, BrokenConnectionResumesOnTheNext) {
  std::string data = RandomBytes(1 << 20, 7);
  {
    Client c(port());
    ASSERT_TRUE(c.Login());
    ASSERT_EQ(c.Command("PUT big.bin 1048576"), "OK 0");
    ASSERT_EQ(c.Command("FROM 0"), "OK 0");
    c.Send(data.substr(0, 300000));
  }  // broken mid-file; the reconnect below takes the file over from the old connection
  Client c(port());
  ASSERT_TRUE(c.Login());
  // The answer is what the receiver really holds: all that was sent, unless the old
  // connection was taken over before the receiver had read it all.
  std::string put = c.Command("PUT big.bin 1048576");
  uint64_t held = 0;
  ASSERT_EQ(put.rfind("OK ", 0), 0u) << put;
  ASSERT_TRUE(ovt::ParseNumber(put.substr(3), &held)) << put;
  EXPECT_LE(held, 300000u);
  EXPECT_EQ(c.Command("FROM 400000"), "OK " + std::to_string(held));
  c.Send(data.substr(held));
  EXPECT_EQ(c.Command("END " + Sum(data)), "OK 1048576 " + Sum(data));
  EXPECT_EQ(ReadFile(root() / "big.bin"), data);
}

TEST_F(SessionTest, PutWaitsForTheConnectionHoldingTheFile) {
  // A connection that logged in before the holder is no reconnecting client: it waits.
  Client c(port());
  ASSERT_TRUE(c.Login());
  auto holder = std::make_unique<Client>(port());
  ASSERT_TRUE(holder->Login());
  ASSERT_EQ(holder->Command("PUT same.bin 10"), "OK 0");
  std::thread release([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    holder->Close();
  });
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(c.Command("PUT same.bin 10"), "OK 0");
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(250));
  release.join();
}

TEST_F(SessionTest, PipelinedCommandsAndDataInOneStream) {
  // Lines before the data, the data and the lines after it arrive in the same reads.
  std::string a = RandomBytes(5000, 11), b = "tail";
  Client c(port());
  c.Send("HELLO OVT/1\r\nLOGIN alice secret\nPUT p/a 5000\nFROM 0\n" + a + "END " + Sum(a) +
         "\nPUT p/b 4\nFROM 0\n" + b + "END " + Sum(b) + "\nBYE\n");
  for (const char* want : {"OK OVT/1", "OK", "OK 0", "OK 0"}) EXPECT_EQ(c.ReadLine(), want);
  EXPECT_EQ(c.ReadLine(), "OK 5000 " + Sum(a));
  EXPECT_EQ(c.ReadLine(), "OK 0");
  EXPECT_EQ(c.ReadLine(), "OK 0");
  EXPECT_EQ(c.ReadLine(), "OK 4 " + Sum(b));
  EXPECT_EQ(c.ReadLine(), "OK");
  EXPECT_EQ(ReadFile(root() / "p/a"), a);
  EXPECT_EQ(ReadFile(root() / "p/b"), b);
}

TEST_F(SessionTest, RefusalsKeepTheConnectionUsable) {
  Client c(port());
  ASSERT_TRUE(c.Command("HELLO OVT/1") == "OK OVT/1");
  EXPECT_EQ(c.Command("LOGIN alice wrong").rfind("ERR 401 ", 0), 0u);
  EXPECT_EQ(c.Command("LOGIN carol secret").rfind("ERR 401 ", 0), 0u);
  ASSERT_EQ(c.Command("LOGIN alice secret"), "OK");  // retried on the same connection
  for (const char* name : {"../x", "/abs", "C:/x", "a%5Cb", ".ovreceiver/x", "a//b", "?q"})
    EXPECT_EQ(c.Command(std::string("PUT ") + name + " 1").rfind("ERR 403 ", 0), 0u) << name;
  EXPECT_EQ(c.Command("MKDIR ../up").rfind("ERR 403 ", 0), 0u);

  std::string data = "hello";
  ASSERT_EQ(c.Command("PUT bad.txt 5"), "OK 0");
  ASSERT_EQ(c.Command("FROM 0"), "OK 0");
  c.Send(data);
  EXPECT_EQ(c.Command("END 0123456789abcdef").rfind("ERR 409 ", 0), 0u);
  EXPECT_FALSE(fs::exists(root() / "bad.txt"));
  EXPECT_EQ(c.Upload("good.txt", data), "OK 5 " + Sum(data));
  EXPECT_EQ(c.Upload("empty", ""), "OK 0 ef46db3751d8e999");
}

TEST_F(SessionTest, ProtocolErrorsAnswer400AndClose) {
  const std::vector<std::vector<std::string>> scripts = {
      {"PUT a 1"},                                   // before HELLO
      {"HELLO OVT/2"},                               // unknown version
      {"HELLO OVT/1", "MKDIR a"},                    // before LOGIN
      {"HELLO OVT/1", "LOGIN alice secret", "FROM 0"},        // FROM without PUT
      {"HELLO OVT/1", "LOGIN alice secret", "END ef46db3751d8e999"},
      {"HELLO OVT/1", "LOGIN alice secret", "PUT a%zz 1"},    // broken escape
      {"HELLO OVT/1", "LOGIN alice secret", "PUT a -1"},
      {"HELLO OVT/1", "LOGIN alice secret", "PUT a"},
      {"HELLO OVT/1", "LOGIN alice secret", "FETCH a"},
      {"HELLO OVT/1", "LOGIN alice secret", "PUT e 0", "FROM 0", "PUT f 0"},  // END due
      {"HELLO OVT/1", "LOGIN alice secret", std::string(9000, 'x')},
  };
  for (const auto& script : scripts) {
    Client c(port());
    std::string last;
    for (const auto& line : script) last = c.Command(line);
    EXPECT_EQ(last.rfind("ERR 400 ", 0), 0u) << script.back().substr(0, 40) << ": " << last;
    EXPECT_EQ(ReadToEnd(c.fd()), "") << script.back().substr(0, 40);
  }
}

TEST_F(SessionTest, ManySessionsAtOnce) {
  constexpr int kSessions = 8;
  std::atomic<int> good{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < kSessions; ++i) {
    threads.emplace_back([&, i] {
      Client c(port());
      if (!c.Login(i % 2 ? "bob" : "alice", i % 2 ? "b0b" : "secret")) return;
      std::string data = RandomBytes(2 << 20, 100 + i);
      std::string name = "many/f" + std::to_string(i);
      if (c.Upload(name, data) == "OK 2097152 " + Sum(data) &&
          ReadFile(root() / name) == data)
        ++good;
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(good, kSessions);
}

}  // namespace
}  // namespace ovr::test
