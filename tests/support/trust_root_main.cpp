// trust_root.exe CA.pem: makes a throwaway authority a trusted root of the Wine prefix it runs
// in, for as long as the prefix's server runs (the demo's prefix, never the host).
#include <cstdio>
#include <string>

#include "support/trusted_root.h"

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: trust_root.exe CA.pem\n");
    return 2;
  }
  std::string error;
  if (!testing_support::TrustRootCertificate(argv[1], &error)) {
    std::fprintf(stderr, "trust_root: %s\n", error.c_str());
    return 1;
  }
  return 0;
}
