#include "support/trusted_root.h"

#include <windows.h>
#include <wincrypt.h>

#include <cwchar>
#include <vector>

#include "ovtransfer/com/unique.h"
#include "support/scratch_folder.h"
#include "support/unix_program.h"

namespace testing_support {

std::wstring TestAuthorityFolder() {
  wchar_t unix_path[1024] = {};
  if (!GetEnvironmentVariableW(L"OV_TEST_AUTHORITY", unix_path, 1024)) return L"";
  return WindowsPathOf(std::string(unix_path, unix_path + wcslen(unix_path)));
}

std::wstring AuthorityFile(const std::wstring& name) { return TestAuthorityFolder() + L"\\" + name; }

bool TrustRootCertificate(const std::wstring& pem_path, std::string* error, std::wstring* entry) {
  const std::string pem = ReadFileBytes(pem_path);
  DWORD size = 0;
  if (pem.empty() ||
      !CryptStringToBinaryA(pem.c_str(), 0, CRYPT_STRING_BASE64HEADER, nullptr, &size, nullptr, nullptr)) {
    *error = "no certificate in the file";
    return false;
  }
  std::vector<BYTE> der(size);
  CryptStringToBinaryA(pem.c_str(), 0, CRYPT_STRING_BASE64HEADER, der.data(), &size, nullptr, nullptr);
  PCCERT_CONTEXT cert = CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), size);
  if (!cert) {
    *error = "the certificate cannot be read";
    return false;
  }
  BYTE hash[20];
  DWORD hash_size = sizeof(hash);
  DWORD blob_size = 0;
  const bool described = CertGetCertificateContextProperty(cert, CERT_SHA1_HASH_PROP_ID, hash, &hash_size) &&
                         CertSerializeCertificateStoreElement(cert, 0, nullptr, &blob_size);
  std::vector<BYTE> blob(blob_size);
  const bool serialised = described && CertSerializeCertificateStoreElement(cert, 0, blob.data(), &blob_size);
  CertFreeCertificateContext(cert);
  if (!serialised) {
    *error = "the certificate cannot be serialised";
    return false;
  }
  std::wstring key_path = L"Software\\Microsoft\\SystemCertificates\\Root\\Certificates\\";
  for (BYTE b : hash) {
    wchar_t hex[3];
    swprintf(hex, 3, L"%02X", b);
    key_path += hex;
  }
  com::UniqueHKey key;
  LONG rc = RegCreateKeyExW(HKEY_LOCAL_MACHINE, key_path.c_str(), 0, nullptr, REG_OPTION_VOLATILE, KEY_SET_VALUE,
                            nullptr, key.Receive(), nullptr);
  if (rc == ERROR_SUCCESS) rc = RegSetValueExW(key.Get(), L"Blob", 0, REG_BINARY, blob.data(), blob_size);
  if (rc != ERROR_SUCCESS) {
    *error = "the root store key cannot be written: error " + std::to_string(rc);
    return false;
  }
  if (entry) *entry = key_path;
  return true;
}

}  // namespace testing_support
