#include "server_certificate.h"

#include <cstring>
#include <memory>

namespace ovengine {
namespace {

// SECURITY_FLAG_IGNORE_CERT_CN_INVALID of the SSL policy's checks (declared in wininet.h).
constexpr DWORD kSkipNameCheck = 0x00001000;

struct ChainDeleter {
  void operator()(PCCERT_CHAIN_CONTEXT chain) const { CertFreeCertificateChain(chain); }
};
struct LocalDeleter {
  void operator()(void* p) const { LocalFree(p); }
};

// The platform's name check matches names only; an address is compared here with the
// certificate's IP entries.
HRESULT CheckAddressEntries(PCCERT_CONTEXT certificate, const IN_ADDR& address) {
  const CERT_INFO* info = certificate->pCertInfo;
  const CERT_EXTENSION* extension =
      CertFindExtension(szOID_SUBJECT_ALT_NAME2, info->cExtension, info->rgExtension);
  if (!extension) return CERT_E_CN_NO_MATCH;
  CERT_ALT_NAME_INFO* names = nullptr;
  DWORD size = 0;
  if (!CryptDecodeObjectEx(X509_ASN_ENCODING, X509_ALTERNATE_NAME, extension->Value.pbData, extension->Value.cbData,
                           CRYPT_DECODE_ALLOC_FLAG, nullptr, &names, &size))
    return CERT_E_CN_NO_MATCH;
  std::unique_ptr<void, LocalDeleter> owned(names);
  for (DWORD i = 0; i < names->cAltEntry; ++i) {
    const CERT_ALT_NAME_ENTRY& entry = names->rgAltEntry[i];
    if (entry.dwAltNameChoice == CERT_ALT_NAME_IP_ADDRESS && entry.IPAddress.cbData == sizeof(address) &&
        std::memcmp(entry.IPAddress.pbData, &address, sizeof(address)) == 0)
      return S_OK;
  }
  return CERT_E_CN_NO_MATCH;
}

// The chain from the certificate (with what the server sent) to a root of the machine, for
// server use.
HRESULT BuildChain(PCCERT_CONTEXT certificate, DWORD flags,
                   std::unique_ptr<const CERT_CHAIN_CONTEXT, ChainDeleter>* chain) {
  LPSTR server_use[] = {const_cast<LPSTR>(szOID_PKIX_KP_SERVER_AUTH)};
  CERT_CHAIN_PARA para = {};
  para.cbSize = sizeof(para);
  para.RequestedUsage.dwType = USAGE_MATCH_TYPE_OR;
  para.RequestedUsage.Usage.cUsageIdentifier = 1;
  para.RequestedUsage.Usage.rgpszUsageIdentifier = server_use;
  PCCERT_CHAIN_CONTEXT context = nullptr;
  if (!CertGetCertificateChain(nullptr, certificate, nullptr, certificate->hCertStore, &para, flags, nullptr,
                               &context)) {
    const DWORD error = GetLastError();
    return error ? HRESULT_FROM_WIN32(error) : CERT_E_CHAINING;
  }
  chain->reset(context);
  return S_OK;
}

}  // namespace

bool AddressLiteral(const std::wstring& name, IN_ADDR* address) {
  if (name.empty() || name.size() > 64) return false;
  std::string text;
  for (wchar_t c : name) {
    if (c < 0x21 || c > 0x7E) return false;
    text += static_cast<char>(c);
  }
  // The control's own reading of an address; 255.255.255.255 is looked up as a name there too.
  const unsigned long value = inet_addr(text.c_str());
  if (value == INADDR_NONE) return false;
  if (address) address->s_addr = value;
  return true;
}

HRESULT CheckServerCertificate(PCCERT_CONTEXT certificate, const std::wstring& name) {
  if (!certificate || name.empty()) return E_INVALIDARG;
  IN_ADDR address = {};
  const bool is_address = AddressLiteral(name, &address);

  // A revoked certificate fails. One whose revocation cannot be learnt (no list published, or
  // the list out of reach) is judged on the rest, as the machine's browsers judge it; the
  // policy below would count that as a failure, so it judges a chain built without the check.
  // The platform loads its revocation provider for each such chain and lets it go after:
  // kept loaded for the process, a reconnect's check takes a quarter of the time.
  static const HMODULE revocation_provider = LoadLibraryW(L"cryptnet.dll");
  (void)revocation_provider;
  std::unique_ptr<const CERT_CHAIN_CONTEXT, ChainDeleter> chain;
  if (HRESULT hr = BuildChain(certificate, CERT_CHAIN_REVOCATION_CHECK_CHAIN_EXCLUDE_ROOT, &chain); FAILED(hr))
    return hr;
  if (chain->TrustStatus.dwErrorStatus & CERT_TRUST_IS_REVOKED) return CRYPT_E_REVOKED;
  if (HRESULT hr = BuildChain(certificate, 0, &chain); FAILED(hr)) return hr;

  SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl = {};
  ssl.cbSize = sizeof(ssl);
  ssl.dwAuthType = AUTHTYPE_SERVER;
  // An address is judged below, against the IP entries only.
  ssl.fdwChecks = is_address ? kSkipNameCheck : 0;
  ssl.pwszServerName = is_address ? nullptr : const_cast<wchar_t*>(name.c_str());
  CERT_CHAIN_POLICY_PARA policy = {};
  policy.cbSize = sizeof(policy);
  policy.pvExtraPolicyPara = &ssl;
  CERT_CHAIN_POLICY_STATUS status = {};
  status.cbSize = sizeof(status);
  if (!CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain.get(), &policy, &status))
    return CERT_E_CHAINING;
  if (status.dwError != 0) return static_cast<HRESULT>(status.dwError);
  // Whatever the policy let pass, the chain itself must be whole and trusted (Wine's policy
  // passes a chain that stops short of any root).
  const DWORD errors = chain->TrustStatus.dwErrorStatus;
  if (errors & CERT_TRUST_IS_UNTRUSTED_ROOT) return CERT_E_UNTRUSTEDROOT;
  if (errors & CERT_TRUST_IS_NOT_TIME_VALID) return CERT_E_EXPIRED;
  if (errors != CERT_TRUST_NO_ERROR) return CERT_E_CHAINING;
  return is_address ? CheckAddressEntries(certificate, address) : S_OK;
}

HRESULT PassedCertificate::Check(PCCERT_CONTEXT certificate, const std::wstring& name) {
  if (!certificate) return E_INVALIDARG;
  const std::string encoded(reinterpret_cast<const char*>(certificate->pbCertEncoded), certificate->cbCertEncoded);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!encoded_.empty() && encoded == encoded_ && name == name_ &&
        CertVerifyTimeValidity(nullptr, certificate->pCertInfo) == 0)
      return S_OK;
  }
  const HRESULT verdict = CheckServerCertificate(certificate, name);
  if (SUCCEEDED(verdict)) {
    std::lock_guard<std::mutex> lock(mutex_);
    name_ = name;
    encoded_ = encoded;
  }
  return verdict;
}

}  // namespace ovengine
