// Whether the server's certificate is good for the server the page named: a chain to one of
// the machine's trusted roots, valid now, for server use, and issued for that name. An
// address the page gave must be among the certificate's IP entries: a DNS entry that spells
// the address does not count.
#pragma once
#include <winsock2.h>
#include <windows.h>
#include <wincrypt.h>

#include <mutex>
#include <string>

namespace ovengine {

// True when name is an IPv4 address written out, as the control reads it (then the address
// is stored in *address, in network byte order, when address is not null).
bool AddressLiteral(const std::wstring& name, IN_ADDR* address);

// S_OK, or why the certificate is refused (CERT_E_UNTRUSTEDROOT, CERT_E_EXPIRED,
// CERT_E_CN_NO_MATCH, ...). certificate->hCertStore holds what the server sent with it.
HRESULT CheckServerCertificate(PCCERT_CONTEXT certificate, const std::wstring& name);

// The certificate one engine's server passed with. A reconnect to that server that is shown
// the very same certificate, still within its validity, takes the verdict as it stands:
// building the chain again would cost the reconnect as much as everything else in it.
class PassedCertificate {
 public:
  // As CheckServerCertificate, but S_OK at once for the certificate that passed for name
  // last; a certificate that passes is kept in place of the one before.
  HRESULT Check(PCCERT_CONTEXT certificate, const std::wstring& name);

 private:
  std::mutex mutex_;  // the engine's calls and its I/O thread reconnect on different threads
  std::wstring name_;
  std::string encoded_;
};

}  // namespace ovengine
