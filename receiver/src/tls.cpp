#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <stdexcept>

#include "stream.h"

namespace ovr {

std::shared_ptr<asio::ssl::context> MakeTlsContext(const std::string& chain_file, const std::string& key_file) {
  auto context = std::make_shared<asio::ssl::context>(asio::ssl::context::tls_server);
  context->set_options(asio::ssl::context::default_workarounds | asio::ssl::context::no_sslv2 |
                       asio::ssl::context::no_sslv3 | asio::ssl::context::no_tlsv1 |
                       asio::ssl::context::no_tlsv1_1 | asio::ssl::context::single_dh_use);
  SSL_CTX_set_min_proto_version(context->native_handle(), TLS1_2_VERSION);
  std::error_code ec;
  context->use_certificate_chain_file(chain_file, ec);
  if (ec) throw std::runtime_error("cannot use certificate " + chain_file + ": " + ec.message());
  context->use_private_key_file(key_file, asio::ssl::context::pem, ec);
  if (ec) throw std::runtime_error("cannot use key " + key_file + ": " + ec.message());
  if (SSL_CTX_check_private_key(context->native_handle()) != 1)
    throw std::runtime_error("the key " + key_file + " does not belong to the certificate " + chain_file);
  return context;
}

std::string CertificateDateWarning(asio::ssl::context& context, const std::string& chain_file) {
  X509* certificate = SSL_CTX_get0_certificate(context.native_handle());
  if (!certificate) return {};
  if (X509_cmp_current_time(X509_get0_notAfter(certificate)) <= 0)
    return "the certificate " + chain_file + " has expired: clients refuse it until it is renewed";
  if (X509_cmp_current_time(X509_get0_notBefore(certificate)) >= 0)
    return "the certificate " + chain_file + " is not valid yet: clients refuse it until then";
  return {};
}

}  // namespace ovr
