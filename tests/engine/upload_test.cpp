// Uploads through the registered engine DLL to the real receiver on loopback.
#include "engine_harness.h"

#include <gtest/gtest.h>

#include "components/engine/protocol.h"
#include "components/engine/xxh64.h"
#include "components/ovres/component_classes.h"
#include "support/com_apartment.h"
#include "support/scratch_folder.h"

namespace {

using engine_tests::ConnectedEngine;
using engine_tests::kFolderEntry;
using engine_tests::NotifyWindow;
using engine_tests::Put;
using engine_tests::TestBytes;
using testing_support::ReadFileBytes;
using testing_support::ReceiverProcess;
using testing_support::ScratchFolder;


class Upload : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(receiver.Start()) << receiver.Error(); }

  // Uploads one file entry on engine as the scheduler does and waits for its end.
  void UploadFile(ITransferEngine* engine, const std::wstring& remote, const std::wstring& local, LONG task_id,
                  DWORD timeout_ms = 20000) {
    ASSERT_EQ(Put(engine, remote, local, task_id), S_OK);
    ASSERT_EQ(engine->StartTransfer(), S_OK);
    engine->SetRateLimit(0);
    ASSERT_TRUE(window.WaitFor(NOTIFY_FILE_DONE, timeout_ms, task_id)) << "file done";
    ULONGLONG done = 0;
    ASSERT_EQ(engine->GetBytesTransferred(&done), S_OK);
    EXPECT_EQ(done, ReadFileBytes(local).size());
    EXPECT_EQ(engine->FinishFile(), S_OK);
  }

  testing_support::ComApartment apartment;
  ReceiverProcess receiver;
  NotifyWindow window;
  ScratchFolder local;
};

TEST_F(Upload, FilesAnEmptyFileAndAFolderOneAfterAnotherOnOneEngine) {
  const std::string bytes = TestBytes(300000, 1);
  const std::wstring file = local.WriteFile(L"clip.csf", bytes), empty = local.WriteFile(L"empty.txt", "");
  auto engine = ConnectedEngine(receiver, window.Handle());
  ASSERT_TRUE(engine);

  EXPECT_EQ(Put(engine.Get(), L"demo/fonts", local.Path(), 7, kFolderEntry), S_OK);
  EXPECT_EQ(GetFileAttributesW(receiver.PathOf(L"demo/fonts").c_str()) & FILE_ATTRIBUTE_DIRECTORY,
            static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY));
  UploadFile(engine.Get(), L"demo/fonts/clip.csf?k=1", file, 7);
  UploadFile(engine.Get(), L"demo/空 file.txt", empty, 8);
  EXPECT_EQ(engine->Disconnect(), S_OK);

  EXPECT_EQ(ReadFileBytes(receiver.PathOf(L"demo/fonts/clip.csf")), bytes);
  EXPECT_TRUE(testing_support::FileExists(receiver.PathOf(L"demo/空 file.txt")));
  const auto log = receiver.ReadLog();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0].user, "alice");
  EXPECT_EQ(log[0].size, bytes.size());
  EXPECT_EQ(log[0].checksum, ovengine::ChecksumText(ovengine::Xxh64Of(bytes.data(), bytes.size())));
  EXPECT_EQ(log[1].size, 0u);
  EXPECT_EQ(log[1].checksum, "ef46db3751d8e999");

  // Each file: begin first, progress, then done; nothing aborted.
  EXPECT_EQ(window.Count(NOTIFY_FILE_BEGIN, 7), 1);
  EXPECT_GE(window.Count(NOTIFY_PROGRESS, 7), 1);
  EXPECT_EQ(window.All().front().code, NOTIFY_FILE_BEGIN);
  EXPECT_EQ(window.Count(NOTIFY_FILE_DONE, 8), 1);
  EXPECT_EQ(window.Count(NOTIFY_ABORTED), 0);
}

TEST_F(Upload, A64MiBFileArrivesIdenticalWithProgressAtMostTenTimesASecond) {
  const std::string bytes = TestBytes(64u << 20, 2);
  const std::wstring file = local.WriteFile(L"big.bin", bytes);
  auto engine = ConnectedEngine(receiver, window.Handle());
  ASSERT_TRUE(engine);
  const DWORD since = GetTickCount();
  UploadFile(engine.Get(), L"big/big.bin", file, 3, 120000);
  const DWORD took = GetTickCount() - since;
  engine->Disconnect();
  EXPECT_EQ(engine_tests::FileChecksum(receiver.PathOf(L"big/big.bin")),
            ovengine::ChecksumText(ovengine::Xxh64Of(bytes.data(), bytes.size())));
  EXPECT_LE(window.Count(NOTIFY_PROGRESS), static_cast<int>(took / 100) + 2);
}

TEST_F(Upload, SeveralEnginesAtOnce) {
  constexpr int kEngines = 4;
  std::vector<com::ComPtr<ITransferEngine>> engines;
  std::vector<std::string> contents;
  for (int i = 0; i < kEngines; ++i) {
    contents.push_back(TestBytes((3u << 20) + i * 1000, 10 + i));
    const std::wstring name = L"part" + std::to_wstring(i) + L".bin";
    engines.push_back(ConnectedEngine(receiver, window.Handle()));
    ASSERT_TRUE(engines.back());
    ASSERT_EQ(Put(engines.back().Get(), L"many/" + name, local.WriteFile(name, contents.back()), 100 + i), S_OK);
  }
  for (auto& engine : engines) {
    ASSERT_EQ(engine->StartTransfer(), S_OK);
    engine->SetRateLimit(0);
  }
  for (int i = 0; i < kEngines; ++i) EXPECT_TRUE(window.WaitFor(NOTIFY_FILE_DONE, 30000, 100 + i)) << i;
  for (auto& engine : engines) engine->Disconnect();
  for (int i = 0; i < kEngines; ++i)
    EXPECT_EQ(ReadFileBytes(receiver.PathOf(L"many/part" + std::to_wstring(i) + L".bin")), contents[i]) << i;
  EXPECT_EQ(window.Count(NOTIFY_ABORTED), 0);
}

TEST_F(Upload, RefusedNamesAndMissingFilesFailPutFileAndWriteNothingOutsideTheRoot) {
  const std::wstring file = local.WriteFile(L"a.txt", "abc");
  auto engine = ConnectedEngine(receiver, window.Handle());
  ASSERT_TRUE(engine);
  std::wstring status;
  for (const wchar_t* name : {L"../escape.txt", L"demo/../../escape.txt", L"/abs.txt", L""}) {
    EXPECT_TRUE(FAILED(Put(engine.Get(), name, file, 1, 0, &status))) << name;
    EXPECT_EQ(engine->StartTransfer(), E_UNEXPECTED) << "nothing selected after a refused name";
  }
  EXPECT_TRUE(FAILED(Put(engine.Get(), L"../up", local.Path(), 1, kFolderEntry))) << "folders are checked too";
  EXPECT_FALSE(testing_support::FileExists(receiver.PathOf(L"../escape.txt")));
  EXPECT_FALSE(testing_support::FileExists(receiver.PathOf(L"../up")));
  EXPECT_EQ(Put(engine.Get(), L"x/missing.txt", local / L"missing.txt", 1), HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
  // The connection is still good for the next entry.
  EXPECT_EQ(Put(engine.Get(), L"x/a.txt", file, 2, 0, &status), S_OK);
  EXPECT_EQ(status, L"OK held 0");
  EXPECT_EQ(engine->StartTransfer(), S_OK);
  EXPECT_TRUE(window.WaitFor(NOTIFY_FILE_DONE, 10000, 2));
  engine->Disconnect();
  EXPECT_EQ(ReadFileBytes(receiver.PathOf(L"x/a.txt")), "abc");
}

TEST_F(Upload, WrongPasswordIsAccessDeniedWithATerminatedReply) {
  com::ComPtr<ITransferEngine> engine;
  ASSERT_EQ(CoCreateInstance(CLSID_OvTransferEngine, nullptr, CLSCTX_INPROC_SERVER, IID_ITransferEngine,
                             engine.ReceiveVoid()),
            S_OK);
  SOCKADDR_IN any = {};
  const SOCKADDR_IN server = receiver.Address();
  ASSERT_EQ(engine->Initialize(2, &any, 0), S_OK);
  ASSERT_EQ(engine->Connect(&server, 2000), S_OK);
  wchar_t reply[8];
  wmemset(reply, L'#', 8);
  EXPECT_EQ(engine->Login(L"alice", L"wrong", reply, 5), E_ACCESSDENIED);
  EXPECT_EQ(std::wstring(reply), L"ERR ") << "cut to the buffer and terminated";
  EXPECT_EQ(reply[5], L'#') << "nothing written past the size given";
  std::wstring status;
  EXPECT_TRUE(FAILED(Put(engine.Get(), L"a.txt", local.WriteFile(L"a.txt", "a"), 1))) << "not logged in";
  EXPECT_EQ(engine->Login(L"alice", L"secret", reply, 8), S_OK) << "a failed login may be tried again";
  EXPECT_EQ(engine->Disconnect(), S_OK);
}

TEST(Login, NamesAndPasswordsWithSpacesPercentAndChineseReachTheServerIntact) {
  testing_support::ComApartment apartment;
  ReceiverProcess receiver({"alice:secret", "\xE5\xBC\xA0 \xE4\xB8\x89:p%s w\xC3\xB6rd"});  // 张 三 : p%s wörd
  ASSERT_TRUE(receiver.Start()) << receiver.Error();
  com::ComPtr<ITransferEngine> engine;
  ASSERT_EQ(CoCreateInstance(CLSID_OvTransferEngine, nullptr, CLSCTX_INPROC_SERVER, IID_ITransferEngine,
                             engine.ReceiveVoid()),
            S_OK);
  SOCKADDR_IN any = {};
  const SOCKADDR_IN server = receiver.Address();
  ASSERT_EQ(engine->Initialize(2, &any, 0), S_OK);
  ASSERT_EQ(engine->Connect(&server, 2000), S_OK);
  wchar_t reply[64];
  EXPECT_EQ(engine->Login(L"张 三", L"p%s wörd", reply, 64), S_OK) << reply;
  engine->Disconnect();
}

TEST(Connect, NoServerFailsFastAndDisconnectIsSafeWithNothingConnected) {
  testing_support::ComApartment apartment;
  WSADATA data;
  WSAStartup(MAKEWORD(2, 2), &data);
  // A port that was free a moment ago: nothing listens there.
  SOCKET probe = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  SOCKADDR_IN server = {};
  server.sin_family = AF_INET;
  server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(probe, reinterpret_cast<sockaddr*>(&server), sizeof(server));
  int length = sizeof(server);
  getsockname(probe, reinterpret_cast<sockaddr*>(&server), &length);
  closesocket(probe);

  com::ComPtr<ITransferEngine> engine;
  ASSERT_EQ(CoCreateInstance(CLSID_OvTransferEngine, nullptr, CLSCTX_INPROC_SERVER, IID_ITransferEngine,
                             engine.ReceiveVoid()),
            S_OK);
  EXPECT_EQ(engine->Disconnect(), S_OK);
  SOCKADDR_IN any = {};
  ASSERT_EQ(engine->Initialize(2, &any, 0), S_OK);
  const DWORD since = GetTickCount();
  EXPECT_EQ(engine->Connect(&server, 2000), HRESULT_FROM_WIN32(WSAECONNREFUSED));
  EXPECT_LT(GetTickCount() - since, 1500u);
  wchar_t reply[64];
  EXPECT_TRUE(FAILED(engine->Login(L"alice", L"secret", reply, 64)));
  EXPECT_EQ(engine->StartTransfer(), E_UNEXPECTED);
  EXPECT_TRUE(FAILED(engine->PauseTransfer()));
  EXPECT_EQ(engine->Disconnect(), S_OK);
  EXPECT_EQ(engine->Disconnect(), S_OK);
  WSACleanup();
}

}  // namespace

// The server restarted while the engine waited between files: the next file goes on a new
// connection, without a word to the control.
TEST_F(Upload, ConnectionLostBetweenFilesIsReplacedForTheNextFile) {
  const std::string second = TestBytes(2000, 10);
  const std::wstring file = local.WriteFile(L"a.bin", TestBytes(1000, 9)), next = local.WriteFile(L"b.bin", second);
  auto engine = ConnectedEngine(receiver, window.Handle());
  ASSERT_TRUE(engine);
  UploadFile(engine.Get(), L"a.bin", file, 3);
  ASSERT_TRUE(receiver.Restart()) << receiver.Error();

  UploadFile(engine.Get(), L"b.bin", next, 3);
  EXPECT_EQ(engine->Disconnect(), S_OK);
  EXPECT_EQ(ReadFileBytes(receiver.PathOf(L"b.bin")), second);
  EXPECT_EQ(window.Count(NOTIFY_ABORTED), 0);
}
