// https addresses go over TLS with the certificate checks on, against the HTTPS server that
// the test's fixture starts (its folder in OV_TLS_DIR, a path of the host system).
#include <windows.h>
#include <wincrypt.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <vector>

#include "ovtransfer/snapshot/snapshot_post.h"
#include "support/scratch_folder.h"
#include "support/trusted_root.h"

namespace {

using snapshot::kPostRefused;
using snapshot::PostDuration;
using snapshot::PostFile;

std::wstring FixtureFolder() {
  wchar_t unix_path[1024] = {};
  if (!GetEnvironmentVariableW(L"OV_TLS_DIR", unix_path, 1024)) return L"";
  std::wstring path = std::wstring(L"Z:") + unix_path;  // the host's root is drive Z:
  for (wchar_t& c : path)
    if (c == L'/') c = L'\\';
  return path;
}

class Tls : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::wstring folder = FixtureFolder();
    ASSERT_FALSE(folder.empty()) << "OV_TLS_DIR is not set";
    const std::string ports = testing_support::ReadFileBytes(folder + L"\\ports");
    ASSERT_EQ(sscanf(ports.c_str(), "%d %d", &trusted_port_, &untrusted_port_), 2) << ports;
    // The fixture's certificate becomes a trusted root of this prefix while the test runs.
    std::string error;
    ASSERT_TRUE(testing_support::TrustRootCertificate(folder + L"\\trusted.pem", &error, &root_entry_)) << error;
  }
  void TearDown() override {
    if (!root_entry_.empty()) RegDeleteKeyW(HKEY_LOCAL_MACHINE, root_entry_.c_str());
  }
  std::wstring Address(int port, const wchar_t* scheme, const wchar_t* path) {
    return std::wstring(scheme) + L"://localhost:" + std::to_wstring(port) + path;
  }

  int trusted_port_ = 0, untrusted_port_ = 0;
  std::wstring root_entry_;
  testing_support::ScratchFolder files_;
};

TEST_F(Tls, HttpsReachesATrustedServerOverTls) {
  EXPECT_EQ(PostDuration(Address(trusted_port_, L"https", L"/tls"), 7), 0u);
  const std::wstring still = files_.WriteFile(L"s.jpg", std::string(5000, 'j'));
  EXPECT_EQ(PostFile(Address(trusted_port_, L"https", L"/tls?id=1"), still, 7), kPostRefused)
      << "the server answers other targets at length";
  EXPECT_EQ(PostFile(Address(trusted_port_, L"https", L"/tls"), still, 7), 0u);
}

TEST_F(Tls, AnUntrustedCertificateStopsThePost) {
  const DWORD result = PostDuration(Address(untrusted_port_, L"https", L"/tls"), 7);
  EXPECT_NE(result, 0u);
  EXPECT_NE(result, kPostRefused) << "the client refuses, before any answer";
}

TEST_F(Tls, PlainHttpToATlsServerFails) {
  EXPECT_NE(PostDuration(Address(trusted_port_, L"http", L"/tls"), 7), 0u);
}

}  // namespace
