// Trust in the test prefix only: the tests' throwaway certificate authority becomes a root of
// the prefix's machine store, never of the host.
#pragma once
#include <string>

namespace testing_support {

// The certificates the test run made (OV_TEST_AUTHORITY, a Unix path), as a Windows folder;
// "" when the variable is not set.
std::wstring TestAuthorityFolder();
// A file of that folder, for example L"server.pem".
std::wstring AuthorityFile(const std::wstring& name);

// Makes the PEM certificate a trusted root of this prefix for as long as its Wine server
// runs. The prefix's root store takes no additions through the store functions (its registry
// key is volatile and rebuilt from the host's roots), so the entry goes into that key
// directly, volatile like its siblings, in the registry layout of a system store. The key's
// path (below HKEY_LOCAL_MACHINE) goes to *entry when entry is not null.
bool TrustRootCertificate(const std::wstring& pem_path, std::string* error, std::wstring* entry = nullptr);

}  // namespace testing_support
