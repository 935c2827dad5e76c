// TLS on both ports, spoken to as the engine and WinINet speak it: TLS 1.2 and 1.3 with the
// site's certificate; older versions and clients that do not start TLS get nothing.
#include <openssl/ssl.h>

#include <asio/ssl.hpp>
#include <functional>
#include <utility>

#include <openssl/pem.h>
#include <openssl/x509.h>

#include "child.h"
#include "stream.h"

namespace ovr::test {
namespace {

// A throwaway authority and the receiver's certificate for localhost and 127.0.0.1.
const fs::path& Certificates() {
  static ScratchDir dir;
  static const bool made = [] {
    const std::string d = dir.path().string();
    const std::string script =
        "cd '" + d + "' && openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=ca "
        "-addext basicConstraints=critical,CA:TRUE -keyout ca.key -out ca.pem && "
        "openssl req -new -newkey rsa:2048 -nodes -subj /CN=localhost -keyout server.key -out server.csr && "
        "printf 'subjectAltName=DNS:localhost,IP:127.0.0.1\\n' > ext && "
        "openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 -extfile ext "
        "-out server.pem && openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=other "
        "-keyout other.key -out other.pem";
    return std::system(("(" + script + ") >/dev/null 2>&1").c_str()) == 0;
  }();
  EXPECT_TRUE(made) << "openssl could not make the test certificates";
  return dir.path();
}

class TlsTest : public ReceiverFixture {
 protected:
  void SetUp() override {
    tls_ = MakeTlsContext((Certificates() / "server.pem").string(), (Certificates() / "server.key").string());
    ReceiverFixture::SetUp();
  }
  TlsSettings Tls() override { return {tls_, tls_}; }

  // A client that trusts only the test authority and wants the name localhost, speaking
  // exactly the given TLS version.
  std::unique_ptr<asio::ssl::stream<asio::ip::tcp::socket>> Connect(uint16_t port, int version,
                                                                    std::error_code& ec) {
    client_ = std::make_unique<asio::ssl::context>(asio::ssl::context::tls_client);
    SSL_CTX_set_min_proto_version(client_->native_handle(), version);
    SSL_CTX_set_max_proto_version(client_->native_handle(), version);
    SSL_CTX_set_security_level(client_->native_handle(), 0);  // lets the client offer TLS 1.1
    client_->load_verify_file((Certificates() / "ca.pem").string());
    client_->set_verify_mode(asio::ssl::verify_peer);
    auto stream = std::make_unique<asio::ssl::stream<asio::ip::tcp::socket>>(io_, *client_);
    stream->set_verify_callback(asio::ssl::host_name_verification("localhost"));
    stream->lowest_layer().connect({asio::ip::make_address("127.0.0.1"), port});
    stream->handshake(asio::ssl::stream_base::client, ec);
    return stream;
  }
  // Reads to the end of the stream: eof when the server sent a close notify.
  static std::error_code ReadError(asio::ssl::stream<asio::ip::tcp::socket>& s) {
    std::error_code ec;
    char buffer[4096];
    while (!ec) s.read_some(asio::buffer(buffer), ec);
    return ec;
  }
  static std::string Line(asio::ssl::stream<asio::ip::tcp::socket>& s, asio::streambuf& in) {
    std::error_code ec;
    asio::read_until(s, in, '\n', ec);
    if (ec) return "";
    std::istream text(&in);
    std::string line;
    std::getline(text, line);
    return line;
  }

  std::shared_ptr<asio::ssl::context> tls_;
  asio::io_context io_;
  std::unique_ptr<asio::ssl::context> client_;
};

TEST_F(TlsTest, UploadsOverTls12And13) {
  for (int version : {TLS1_2_VERSION, TLS1_3_VERSION}) {
    SCOPED_TRACE(version);
    std::error_code ec;
    auto s = Connect(port(), version, ec);
    ASSERT_FALSE(ec) << ec.message();
    const std::string data = RandomBytes(300000, static_cast<unsigned>(version));
    const std::string name = "tls-" + std::to_string(version) + ".bin";
    asio::streambuf in;
    asio::write(*s, asio::buffer("HELLO OVT/1\nLOGIN alice secret\nPUT " + name + " " +
                                 std::to_string(data.size()) + "\nFROM 0\n"));
    EXPECT_EQ(Line(*s, in), "OK OVT/1");
    EXPECT_EQ(Line(*s, in), "OK");
    EXPECT_EQ(Line(*s, in), "OK 0");
    EXPECT_EQ(Line(*s, in), "OK 0");
    // The file's last records and the commands after it arrive together.
    asio::write(*s, asio::buffer(data + "END " + Sum(data) + "\nBYE\n"));
    EXPECT_EQ(Line(*s, in), "OK " + std::to_string(data.size()) + " " + Sum(data));
    EXPECT_EQ(ReadFile(root() / name), data);
    EXPECT_EQ(Line(*s, in), "OK");
    EXPECT_EQ(ReadError(*s), asio::error::eof) << "a close notify, not a bare end of the connection";
  }
}

// A client that goes on sending after a fatal error still gets the reply and a close notify.
TEST_F(TlsTest, AConnectionEndedByTheReceiverEndsWithCloseNotify) {
  std::error_code ec;
  auto s = Connect(port(), TLS1_3_VERSION, ec);
  ASSERT_FALSE(ec) << ec.message();
  asio::streambuf in;
  asio::write(*s, asio::buffer(std::string("HELLO OVT/2\n") + std::string(100000, 'x')));
  EXPECT_EQ(Line(*s, in), "ERR 400 unsupported%20protocol%20version");
  // More after the receiver's close notify is taken and dropped, not answered with a reset.
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  asio::write(*s, asio::buffer(std::string(100000, 'y')), ec);
  EXPECT_FALSE(ec) << ec.message();
  EXPECT_EQ(ReadError(*s), asio::error::eof);
}

TEST_F(TlsTest, OlderVersionsAndClientsInClearGetNothing) {
  std::error_code ec;
  Connect(port(), TLS1_1_VERSION, ec);
  EXPECT_TRUE(ec) << "TLS 1.1 refused";
  Client plain(port());
  ASSERT_TRUE(plain.connected());
  EXPECT_EQ(plain.Command("HELLO OVT/1"), "") << "no answer in clear, and the connection closed";
  UniqueFd fd = ovr::test::Connect(http_port());
  SendAll(fd.Get(), "POST /s?$dur$=1 HTTP/1.1\r\nContent-Length: 0\r\n\r\n");
  EXPECT_EQ(ReadToEnd(fd.Get()).find("HTTP/1.1"), std::string::npos);
  fd.Reset();
  EXPECT_EQ(Log(), "");
}

TEST_F(TlsTest, HttpEndpointAnswersOverTls) {
  std::error_code ec;
  auto s = Connect(http_port(), TLS1_3_VERSION, ec);
  ASSERT_FALSE(ec) << ec.message();
  asio::write(*s, asio::buffer(std::string("POST /snap?id=7&$dur$=12 HTTP/1.1\r\nHost: localhost\r\n"
                                           "Content-Length: 0\r\n\r\n")));
  asio::streambuf in;
  EXPECT_EQ(Line(*s, in), "HTTP/1.1 200 OK\r");
  EXPECT_EQ(ReadError(*s), asio::error::eof);
  EXPECT_EQ(Log(), "DURATION\t/snap?id=7&$dur$=12\t12\n");
}

// A handshake counts as not logged in: it must end within the login deadline, and it holds a
// place among the connections not logged in (the oldest goes when the limit is reached).
TEST_F(TlsTest, TheHandshakeCountsAgainstTheLoginDeadlineAndLimits) {
  Limits limits;
  limits.login_timeout = std::chrono::seconds(1);
  Restart(limits);
  UniqueFd silent = ovr::test::Connect(port());
  auto since = std::chrono::steady_clock::now();
  EXPECT_EQ(ReadToEnd(silent.Get()), "");
  EXPECT_LT(std::chrono::steady_clock::now() - since, std::chrono::seconds(5)) << "closed at the deadline";
  silent.Reset();

  limits.login_timeout = std::chrono::seconds(60);
  limits.pending_per_address = 1;
  Restart(limits);
  UniqueFd first = ovr::test::Connect(port());
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  since = std::chrono::steady_clock::now();
  std::error_code ec;
  auto second = Connect(port(), TLS1_3_VERSION, ec);
  ASSERT_FALSE(ec) << ec.message();
  EXPECT_EQ(ReadToEnd(first.Get()), "");
  EXPECT_LT(std::chrono::steady_clock::now() - since, std::chrono::seconds(5))
      << "the older connection, still without a handshake, made way";
}

TEST(TlsContext, UnusableFilesAreNamed) {
  const fs::path d = Certificates();
  auto message = [](const std::string& chain, const std::string& key) -> std::string {
    try {
      MakeTlsContext(chain, key);
      return "accepted";
    } catch (const std::runtime_error& e) {
      return e.what();
    }
  };
  EXPECT_NE(message((d / "missing.pem").string(), (d / "server.key").string()).find("missing.pem"),
            std::string::npos);
  EXPECT_NE(message((d / "server.pem").string(), (d / "other.key").string()).find("other.key"),
            std::string::npos) << "a key of another certificate";
  EXPECT_EQ(message((d / "server.pem").string(), (d / "server.key").string()), "accepted");
}

// The subject of the certificate a server presents on port, as "/CN=name"; "" without one.
std::string PresentedSubject(uint16_t port) {
  asio::io_context io;
  asio::ssl::context client(asio::ssl::context::tls_client);
  asio::ssl::stream<asio::ip::tcp::socket> s(io, client);
  std::error_code ec;
  s.lowest_layer().connect({asio::ip::make_address("127.0.0.1"), port}, ec);
  if (!ec) s.handshake(asio::ssl::stream_base::client, ec);
  if (ec) return "";
  X509* certificate = SSL_get_peer_certificate(s.native_handle());
  if (!certificate) return "";
  char subject[256];
  X509_NAME_oneline(X509_get_subject_name(certificate), subject, sizeof subject);
  X509_free(certificate);
  return subject;
}

// A copy of the test certificate issued for /CN=expired, self-signed with the same key,
// whose dates ended yesterday.
void WriteExpiredCertificate(const fs::path& to) {
  const fs::path d = Certificates();
  FILE* in = std::fopen((d / "server.pem").c_str(), "r");
  X509* certificate = PEM_read_X509(in, nullptr, nullptr, nullptr);
  std::fclose(in);
  in = std::fopen((d / "server.key").c_str(), "r");
  EVP_PKEY* key = PEM_read_PrivateKey(in, nullptr, nullptr, nullptr);
  std::fclose(in);
  ASSERT_TRUE(certificate && key);
  X509_NAME* name = X509_NAME_new();
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("expired"), -1, -1, 0);
  X509_set_subject_name(certificate, name);
  X509_set_issuer_name(certificate, name);
  X509_gmtime_adj(X509_getm_notBefore(certificate), -3 * 86400);
  X509_gmtime_adj(X509_getm_notAfter(certificate), -86400);
  ASSERT_GT(X509_sign(certificate, key, EVP_sha256()), 0);
  FILE* out = std::fopen(to.c_str(), "w");
  PEM_write_X509(out, certificate);
  std::fclose(out);
  X509_NAME_free(name);
  EVP_PKEY_free(key);
  X509_free(certificate);
}

// SIGHUP takes up a renewed certificate for new connections on both ports while an upload
// over the old one goes on; files that cannot be used keep the certificate in use.
TEST(TlsProcess, SighupTakesUpANewCertificateAndKeepsTheOldOneWhenTheNewIsBad) {
  const fs::path d = Certificates();
  ScratchDir dir;
  const fs::path cert = dir.path() / "cert.pem", key = dir.path() / "key.pem";
  fs::copy_file(d / "server.pem", cert);
  fs::copy_file(d / "server.key", key);
  WriteFile(dir.path() / "users", "alice:secret\n");
  fs::permissions(dir.path() / "users", fs::perms::owner_read | fs::perms::owner_write);
  RunningReceiver receiver({"--root", (dir.path() / "root").string(), "--users", (dir.path() / "users").string(),
                            "--http-port", "0", "--tls-cert", cert.string(), "--tls-key", key.string()},
                           false);
  ASSERT_NE(receiver.upload_port(), 0) << receiver.ready();
  auto presented = [&] {
    return std::pair(PresentedSubject(receiver.upload_port()), PresentedSubject(receiver.http_port()));
  };
  ASSERT_EQ(presented(), std::pair(std::string("/CN=localhost"), std::string("/CN=localhost")));

  // An upload is half done over the first certificate.
  asio::io_context io;
  asio::ssl::context client(asio::ssl::context::tls_client);
  client.load_verify_file((d / "ca.pem").string());
  client.set_verify_mode(asio::ssl::verify_peer);
  asio::ssl::stream<asio::ip::tcp::socket> upload(io, client);
  upload.set_verify_callback(asio::ssl::host_name_verification("localhost"));
  upload.lowest_layer().connect({asio::ip::make_address("127.0.0.1"), receiver.upload_port()});
  upload.handshake(asio::ssl::stream_base::client);
  const std::string data = RandomBytes(2 << 20, 9);
  asio::write(upload, asio::buffer("HELLO OVT/1\nLOGIN alice secret\nPUT big.bin " + std::to_string(data.size()) +
                                   "\nFROM 0\n"));
  asio::write(upload, asio::buffer(data.data(), data.size() / 2));

  fs::copy_file(d / "other.pem", cert, fs::copy_options::overwrite_existing);
  fs::copy_file(d / "other.key", key, fs::copy_options::overwrite_existing);
  receiver.Signal(SIGHUP);
  EXPECT_NE(receiver.ErrorsUntil("certificate").find("reloaded the certificate " + cert.string()), std::string::npos);
  EXPECT_EQ(presented(), std::pair(std::string("/CN=other"), std::string("/CN=other")));

  asio::write(upload, asio::buffer(data.data() + data.size() / 2, data.size() - data.size() / 2));
  asio::write(upload, asio::buffer("END " + Sum(data) + "\n"));
  asio::streambuf in;
  asio::read_until(upload, in, "OK " + std::to_string(data.size()) + " " + Sum(data) + "\n");
  EXPECT_EQ(ReadFile(dir.path() / "root" / "big.bin"), data);

  // Not PEM, a key of another certificate, a missing key: each keeps the certificate in use.
  struct Bad {
    std::function<void()> make;
    std::string reason;
  };
  const Bad bad[] = {
      {[&] { WriteFile(cert, "not a certificate\n"); }, "cannot use certificate " + cert.string()},
      {[&] { fs::copy_file(d / "server.pem", cert, fs::copy_options::overwrite_existing); },
       "cannot use key " + key.string() + ": key values mismatch"},
      {[&] { fs::remove(key); }, "cannot use key " + key.string()},
  };
  for (const Bad& b : bad) {
    b.make();
    receiver.Signal(SIGHUP);
    const std::string said = receiver.ErrorsUntil("certificate loaded before");
    EXPECT_NE(said.find(b.reason), std::string::npos) << said;
    EXPECT_EQ(presented(), std::pair(std::string("/CN=other"), std::string("/CN=other")));
  }

  // An expired certificate is served (the clients judge it), and the operator is told.
  WriteExpiredCertificate(cert);
  fs::copy_file(d / "server.key", key, fs::copy_options::overwrite_existing);
  receiver.Signal(SIGHUP);
  EXPECT_NE(receiver.ErrorsUntil("expired").find("warning: the certificate " + cert.string() + " has expired"),
            std::string::npos);
  EXPECT_EQ(PresentedSubject(receiver.upload_port()), "/CN=expired");
}

TEST(TlsProcess, InClearOnlyWithAWarning) {
  ScratchDir dir;
  WriteFile(dir.path() / "users", "alice:secret\n");
  fs::permissions(dir.path() / "users", fs::perms::owner_read | fs::perms::owner_write);
  ReceiverProcess receiver;
  ASSERT_TRUE(receiver.Start(dir.path() / "root", dir.path() / "users"));
  EXPECT_NE(receiver.plain_warning().find("warning: --plain"), std::string::npos) << receiver.plain_warning();
}

}  // namespace
}  // namespace ovr::test
