// The engine's TLS: the certificate judged against the page's server name before anything of
// the protocol is sent, and plain text only for a server the user named as plain.
#include "engine_harness.h"

#include <gtest/gtest.h>

#include "components/engine/plain_servers.h"
#include "components/ovres/component_classes.h"
#include "ovtransfer/com/unique.h"
#include "ovtransfer/outside/transfer_engine_server.h"
#include "support/com_apartment.h"
#include "support/relay_process.h"
#include "support/scratch_folder.h"

namespace {

using engine_tests::kHandshakeWait;
using engine_tests::NotifyWindow;
using engine_tests::Put;
using engine_tests::TestBytes;
using testing_support::ReadFileBytes;
using testing_support::ReceiverProcess;
using testing_support::RelayProcess;
using testing_support::ScratchFolder;

// An engine told the server's name (none: the dotted address) and initialised.
com::ComPtr<ITransferEngine> NamedEngine(const wchar_t* name) {
  com::ComPtr<ITransferEngine> engine;
  EXPECT_EQ(CoCreateInstance(CLSID_OvTransferEngine, nullptr, CLSCTX_INPROC_SERVER, IID_ITransferEngine,
                             engine.ReceiveVoid()),
            S_OK);
  if (!engine) return {};
  if (name) {
    com::ComPtr<ITransferEngineServer> named;
    EXPECT_EQ(engine.As(&named, IID_ITransferEngineServer), S_OK);
    if (named) {
      EXPECT_EQ(named->SetServerName(name), S_OK);
    }
  }
  SOCKADDR_IN any = {};
  any.sin_family = AF_INET;
  EXPECT_EQ(engine->Initialize(2, &any, 0), S_OK);
  return engine;
}

bool Contains(const std::string& haystack, const std::string& needle) {
  return haystack.find(needle) != std::string::npos;
}

// A value of the user's plain-server setting, removed again at the end.
class PlainServerEntry {
 public:
  explicit PlainServerEntry(const std::wstring& name) : name_(name) {
    com::UniqueHKey key;
    EXPECT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, ovengine::kPlainServersKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                              key.Receive(), nullptr),
              ERROR_SUCCESS);
    RegSetValueExW(key.Get(), name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(L""), sizeof(wchar_t));
  }
  ~PlainServerEntry() { RegDeleteKeyValueW(HKEY_CURRENT_USER, ovengine::kPlainServersKey, name_.c_str()); }

 private:
  std::wstring name_;
};

class Tls : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(receiver.Start()) << receiver.Error(); }

  testing_support::ComApartment apartment;
  ReceiverProcess receiver;
  NotifyWindow window;
  ScratchFolder local;
};

// What a listener on the path sees of a whole upload: no command, no password, no file bytes.
TEST_F(Tls, ARelayOnThePathSeesNeitherLoginNorPasswordNorTheFile) {
  RelayProcess relay(receiver.Port());
  ASSERT_TRUE(relay.Start()) << relay.Error();
  const std::string bytes = TestBytes(400000, 3);
  const std::wstring file = local.WriteFile(L"private.bin", bytes);
  auto engine = NamedEngine(L"localhost");
  ASSERT_TRUE(engine);
  engine->SetNotifyWindow(window.Handle(), WM_TRANSFER_NOTIFY);
  const SOCKADDR_IN server = relay.Address();
  ASSERT_EQ(engine->Connect(&server, kHandshakeWait), S_OK);
  wchar_t reply[64] = {};
  ASSERT_EQ(engine->Login(L"alice", L"secret", reply, 64), S_OK) << reply;
  ASSERT_EQ(Put(engine.Get(), L"private.bin", file, 4), S_OK);
  ASSERT_EQ(engine->StartTransfer(), S_OK);
  engine->SetRateLimit(0);
  ASSERT_TRUE(window.WaitFor(NOTIFY_FILE_DONE, 20000, 4));
  engine->Disconnect();
  EXPECT_EQ(ReadFileBytes(receiver.PathOf(L"private.bin")), bytes);

  const std::string seen = relay.Recorded();
  EXPECT_GT(seen.size(), bytes.size()) << "the upload went through the relay";
  for (const char* text : {"HELLO", "LOGIN", "alice", "secret", "PUT", "private.bin", "END"})
    EXPECT_FALSE(Contains(seen, text)) << text;
  for (size_t at = 0; at + 32 <= bytes.size(); at += 4096)
    ASSERT_FALSE(Contains(seen, bytes.substr(at, 32))) << "file bytes at " << at;
}

// A relay in the middle presenting a certificate of its own: every kind is refused at Connect,
// and nothing of the protocol reaches the relay.
TEST_F(Tls, ARelayWithABadCertificateGetsNothing) {
  struct Case {
    const wchar_t* certificate;
    const wchar_t* name;
    HRESULT expected;
  };
  const Case cases[] = {
      {L"rogue", L"localhost", CERT_E_UNTRUSTEDROOT},           // from an authority nobody trusts
      {L"other-name", L"localhost", CERT_E_CN_NO_MATCH},        // trusted, for another server
      {L"expired", L"localhost", CERT_E_EXPIRED},               // trusted, but expired
      {L"address-as-dns", L"127.0.0.1", CERT_E_CN_NO_MATCH},    // the address only as a DNS entry
      {L"address-as-dns", nullptr, CERT_E_CN_NO_MATCH},         // no name given: the address connected to
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::wstring(c.certificate) + L" for " + (c.name ? c.name : L"(no name)"));
    RelayProcess relay(receiver.Port(), c.certificate, true);
    ASSERT_TRUE(relay.Start()) << relay.Error();
    auto engine = NamedEngine(c.name);
    ASSERT_TRUE(engine);
    const SOCKADDR_IN server = relay.Address();
    EXPECT_EQ(engine->Connect(&server, kHandshakeWait), c.expected) << relay.Events();
    wchar_t reply[64] = {};
    EXPECT_TRUE(FAILED(engine->Login(L"alice", L"secret", reply, 64)));
    engine.Reset();
    EXPECT_EQ(relay.Recorded(), "") << "the relay read nothing from the engine";
  }
}

// A reconnect that is shown another certificate than the one that passed judges it afresh: a
// certificate for another server ends the transfer at once, as at the first connect.
TEST_F(Tls, AReconnectShownAnotherCertificateJudgesItAgainAndGivesUp) {
  auto engine = engine_tests::ConnectedEngine(receiver, window.Handle());
  ASSERT_TRUE(engine);
  ASSERT_EQ(Put(engine.Get(), L"switched.bin", local.WriteFile(L"switched.bin", TestBytes(4u << 20, 9)), 5), S_OK);
  ASSERT_EQ(engine->StartTransfer(), S_OK);
  engine->SetRateLimit(8u << 20);
  for (const DWORD since = GetTickCount(); engine_tests::Done(engine.Get()) < 100000 && GetTickCount() - since < 10000;)
    window.Pump(10);
  receiver.Stop();
  receiver.SetCertificate(L"other-name");
  ASSERT_TRUE(receiver.Start()) << receiver.Error();
  const DWORD since = GetTickCount();
  ASSERT_TRUE(window.WaitFor(NOTIFY_ABORTED, 20000));
  // Reconnecting after the pauses would take over 15 s; a refused certificate ends it before.
  EXPECT_LT(GetTickCount() - since, 8000u);
  EXPECT_EQ(window.Count(NOTIFY_FILE_DONE), 0);
  engine->Disconnect();
  EXPECT_FALSE(testing_support::FileExists(receiver.PathOf(L"switched.bin")));
}

// The same certificates are good where they fit: an address by its IP entry, a name by its
// DNS entry, an address the page gave that differs from the one connected to by that entry.
TEST_F(Tls, NamesAndAddressesMatchTheirOwnEntries) {
  for (const wchar_t* name : {L"localhost", L"LocalHost", L"127.0.0.1"}) {
    SCOPED_TRACE(name);
    auto engine = NamedEngine(name);
    ASSERT_TRUE(engine);
    const SOCKADDR_IN server = receiver.Address();
    EXPECT_EQ(engine->Connect(&server, kHandshakeWait), S_OK);
    engine->Disconnect();
  }
  RelayProcess relay(receiver.Port(), L"other-name", true);
  ASSERT_TRUE(relay.Start()) << relay.Error();
  for (const wchar_t* name : {L"uploads.example.net", L"10.9.9.9"}) {
    SCOPED_TRACE(name);
    auto engine = NamedEngine(name);
    ASSERT_TRUE(engine);
    const SOCKADDR_IN server = relay.Address();
    EXPECT_EQ(engine->Connect(&server, kHandshakeWait), S_OK);
    engine->Disconnect();
  }
  auto refused = NamedEngine(nullptr);
  com::ComPtr<ITransferEngineServer> named;
  ASSERT_EQ(refused.As(&named, IID_ITransferEngineServer), S_OK);
  EXPECT_EQ(named->SetServerName(L""), E_INVALIDARG);
  EXPECT_EQ(named->SetServerName(L"bad name"), E_INVALIDARG);
  const SOCKADDR_IN server = receiver.Address();
  EXPECT_EQ(refused->Connect(&server, 2000), E_INVALIDARG) << "no server for an unusable name";
}

// Plain text only where the user named the server as plain; elsewhere a server that does not
// start TLS is refused, within the connect time-out.
TEST(PlainServers, OnlyANamedServerIsReachedInClear) {
  testing_support::ComApartment apartment;
  ReceiverProcess plain({"alice:secret"}, ReceiverProcess::Channel::kPlain);
  ASSERT_TRUE(plain.Start()) << plain.Error();
  const SOCKADDR_IN server = plain.Address();
  wchar_t reply[64] = {};
  {
    auto engine = NamedEngine(L"localhost");
    const DWORD since = GetTickCount();
    EXPECT_TRUE(FAILED(engine->Connect(&server, 2000)));
    EXPECT_LT(GetTickCount() - since, 5000u);
    EXPECT_TRUE(FAILED(engine->Login(L"alice", L"secret", reply, 64)));
  }
  {
    PlainServerEntry other(L"localhost:" + std::to_wstring(plain.Port() + 1));
    auto engine = NamedEngine(L"localhost");
    EXPECT_TRUE(FAILED(engine->Connect(&server, 2000))) << "an entry for another port";
  }
  for (const std::wstring& entry : {std::wstring(L"LOCALHOST"), L"localhost:" + std::to_wstring(plain.Port())}) {
    SCOPED_TRACE(entry);
    PlainServerEntry named(entry);
    auto engine = NamedEngine(L"localhost");
    ASSERT_EQ(engine->Connect(&server, kHandshakeWait), S_OK);
    EXPECT_EQ(engine->Login(L"alice", L"secret", reply, 64), S_OK) << reply;
    engine->Disconnect();
  }
  {
    PlainServerEntry dotted(L"127.0.0.1");
    auto engine = NamedEngine(nullptr);
    EXPECT_EQ(engine->Connect(&server, kHandshakeWait), S_OK) << "without a name, the dotted address is looked up";
  }
}

}  // namespace
