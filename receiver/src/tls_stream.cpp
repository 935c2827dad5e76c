#include "tls_stream.h"

#include <openssl/ssl.h>

#include <stdexcept>

namespace ovr {

std::shared_ptr<asio::ssl::context> MakeTlsContext(const std::string& chain_file, const std::string& key_file) {
  auto context = std::make_shared<asio::ssl::context>(asio::ssl::context::tls_server);
  context->set_options(asio::ssl::context::default_workarounds | asio::ssl::context::no_sslv2 |
                       asio::ssl::context::no_sslv3 | asio::ssl::context::no_tlsv1 |
                       asio::ssl::context::no_tlsv1_1 | asio::ssl::context::single_dh_use);
  SSL_CTX_set_min_proto_version(context->native_handle(), TLS1_2_VERSION);
  // AES-128-GCM first: as safe for this purpose and the cheapest for both ends of a large upload.
  SSL_CTX_set_ciphersuites(context->native_handle(),
                           "TLS_AES_128_GCM_SHA256:TLS_AES_256_GCM_SHA384:TLS_CHACHA20_POLY1305_SHA256");
  SSL_CTX_set_options(context->native_handle(), SSL_OP_CIPHER_SERVER_PREFERENCE);
  std::error_code ec;
  context->use_certificate_chain_file(chain_file, ec);
  if (ec) throw std::runtime_error("cannot use certificate " + chain_file + ": " + ec.message());
  context->use_private_key_file(key_file, asio::ssl::context::pem, ec);
  if (ec) throw std::runtime_error("cannot use key " + key_file + ": " + ec.message());
  if (SSL_CTX_check_private_key(context->native_handle()) != 1)
    throw std::runtime_error("the key " + key_file + " does not belong to the certificate " + chain_file);
  return context;
}

Stream::Stream(asio::ip::tcp::socket socket, asio::ssl::context* tls) : plain_(std::move(socket)) {
  if (tls) tls_ = std::make_unique<asio::ssl::stream<asio::ip::tcp::socket>>(std::move(plain_), *tls);
}

}  // namespace ovr
