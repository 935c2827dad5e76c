#include "tls_channel.h"

#include <algorithm>
#include <cstring>

#include "server_certificate.h"

namespace ovengine {
namespace {

constexpr ULONG kContextFlags = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT | ISC_REQ_CONFIDENTIALITY |
                                ISC_REQ_EXTENDED_ERROR | ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM |
                                ISC_REQ_MANUAL_CRED_VALIDATION;
// A server's handshake messages or one record never need more; beyond it the peer is not TLS.
constexpr size_t kMaxIncomingBytes = 256 * 1024;
// Records are sent together up to about this many bytes per socket send.
constexpr size_t kSendBatchBytes = 256 * 1024;

// A token Schannel allocated, freed with its owner.
struct ContextBuffer {
  SecBuffer buffer = {0, SECBUFFER_TOKEN, nullptr};
  ~ContextBuffer() {
    if (buffer.pvBuffer) FreeContextBuffer(buffer.pvBuffer);
  }
};

HRESULT AcquireClientCredentials(CredHandle* credentials) {
  // TLS 1.2 and 1.3; the certificate is judged by the engine against the page's server name.
  SCHANNEL_CRED settings = {};
  settings.dwVersion = SCHANNEL_CRED_VERSION;
  settings.grbitEnabledProtocols = SP_PROT_TLS1_2_CLIENT | SP_PROT_TLS1_3_CLIENT;
  settings.dwFlags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS | SCH_USE_STRONG_CRYPTO;
  TimeStamp expiry;
  SECURITY_STATUS status = AcquireCredentialsHandleW(nullptr, const_cast<wchar_t*>(UNISP_NAME_W), SECPKG_CRED_OUTBOUND,
                                                     nullptr, &settings, nullptr, nullptr, credentials, &expiry);
  if (status != SEC_E_OK) {
    // Systems that do not know TLS 1.3 refuse to be asked for it.
    settings.grbitEnabledProtocols = SP_PROT_TLS1_2_CLIENT;
    status = AcquireCredentialsHandleW(nullptr, const_cast<wchar_t*>(UNISP_NAME_W), SECPKG_CRED_OUTBOUND, nullptr,
                                       &settings, nullptr, nullptr, credentials, &expiry);
  }
  return status;
}

}  // namespace

TlsChannel::~TlsChannel() {
  if (ready_ && !failed_ && !socket_.Cancelled()) {
    DWORD shutdown = SCHANNEL_SHUTDOWN;
    SecBuffer token = {sizeof(shutdown), SECBUFFER_TOKEN, &shutdown};
    SecBufferDesc token_desc = {SECBUFFER_VERSION, 1, &token};
    if (ApplyControlToken(&context_, &token_desc) == SEC_E_OK) {
      ContextBuffer out;
      SecBufferDesc out_desc = {SECBUFFER_VERSION, 1, &out.buffer};
      ULONG attributes = 0;
      const SECURITY_STATUS status =
          InitializeSecurityContextW(&credentials_, &context_, nullptr, kContextFlags, 0, 0, nullptr, 0, nullptr,
                                     &out_desc, &attributes, nullptr);
      if (!FAILED(status) && out.buffer.pvBuffer) socket_.SendWithoutWaiting(out.buffer.pvBuffer, out.buffer.cbBuffer);
    }
  }
  if (have_context_) DeleteSecurityContext(&context_);
  if (have_credentials_) FreeCredentialsHandle(&credentials_);
}

HRESULT TlsChannel::Fail(HRESULT hr) {
  failed_ = true;
  return hr;
}

HRESULT TlsChannel::ReadMore(DWORD deadline) {
  if (incoming_.size() >= kMaxIncomingBytes) return Fail(SEC_E_ILLEGAL_MESSAGE);
  if (HRESULT hr = socket_.Receive(&incoming_, deadline); FAILED(hr)) return Fail(hr);
  need_more_ = false;
  return S_OK;
}

HRESULT TlsChannel::Handshake(const std::wstring& server_name, std::shared_ptr<PassedCertificate> passed,
                              DWORD timeout_ms) {
  if (have_context_ || failed_ || !passed) return E_UNEXPECTED;
  server_name_ = server_name;
  passed_ = std::move(passed);
  if (HRESULT hr = AcquireClientCredentials(&credentials_); FAILED(hr)) return Fail(hr);
  have_credentials_ = true;
  if (HRESULT hr = Negotiate(GetTickCount() + timeout_ms, false); FAILED(hr)) return hr;
  if (SECURITY_STATUS status = QueryContextAttributesW(&context_, SECPKG_ATTR_STREAM_SIZES, &sizes_);
      status != SEC_E_OK)
    return Fail(status);
  if (sizes_.cbMaximumMessage == 0) return Fail(SEC_E_INTERNAL_ERROR);
  ready_ = true;
  return S_OK;
}

HRESULT TlsChannel::Negotiate(DWORD deadline, bool started_by_server) {
  // An address is not a name to indicate to the server; the certificate is checked all the same.
  const bool address = AddressLiteral(server_name_, nullptr);
  wchar_t* target = address ? nullptr : const_cast<wchar_t*>(server_name_.c_str());
  // A handshake the server started goes on with what it sent so far, even nothing.
  for (bool read = !started_by_server;; read = true) {
    if (read && have_context_ && (incoming_.empty() || need_more_)) {
      if (HRESULT hr = ReadMore(deadline); FAILED(hr)) return hr;
    }
    SecBuffer in[2] = {{static_cast<ULONG>(incoming_.size()), SECBUFFER_TOKEN, incoming_.data()},
                       {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc in_desc = {SECBUFFER_VERSION, 2, in};
    ContextBuffer out;
    SecBufferDesc out_desc = {SECBUFFER_VERSION, 1, &out.buffer};
    ULONG attributes = 0;
    const SECURITY_STATUS status = InitializeSecurityContextW(
        &credentials_, have_context_ ? &context_ : nullptr, target, kContextFlags, 0, 0,
        have_context_ ? &in_desc : nullptr, 0, have_context_ ? nullptr : &context_, &out_desc, &attributes, nullptr);
    if (status == SEC_E_INCOMPLETE_MESSAGE) {
      need_more_ = true;
      continue;
    }
    if (!FAILED(status)) have_context_ = true;
    // Our next message, or on a failure the alert that tells the server why.
    if (out.buffer.pvBuffer && out.buffer.cbBuffer > 0) {
      if (HRESULT hr = socket_.Send(out.buffer.pvBuffer, out.buffer.cbBuffer, Remaining(deadline)); FAILED(hr))
        return Fail(FAILED(status) ? status : hr);
    }
    if (FAILED(status)) return Fail(status);
    // A server that asks for a client certificate gets none: the same input goes on without it.
    if (status == SEC_I_INCOMPLETE_CREDENTIALS) continue;
    if (in[1].BufferType == SECBUFFER_EXTRA && in[1].cbBuffer <= incoming_.size())
      incoming_.erase(0, incoming_.size() - in[1].cbBuffer);
    else if (have_context_)
      incoming_.clear();
    if (status == SEC_E_OK) break;
    if (status != SEC_I_CONTINUE_NEEDED) return Fail(status);
  }
  // Whatever followed the handshake stays in incoming_: the first records of data.
  PCCERT_CONTEXT certificate = nullptr;
  if (SECURITY_STATUS status = QueryContextAttributesW(&context_, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &certificate);
      status != SEC_E_OK || !certificate)
    return Fail(status != SEC_E_OK ? status : SEC_E_CERT_UNKNOWN);
  const HRESULT verdict = passed_->Check(certificate, server_name_);
  CertFreeCertificateContext(certificate);
  return FAILED(verdict) ? Fail(verdict) : S_OK;
}

HRESULT TlsChannel::Send(const void* data, size_t size, DWORD timeout_ms) {
  if (!ready_ || failed_) return HRESULT_FROM_WIN32(WSAENOTCONN);
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    outgoing_.clear();
    while (size > 0 && outgoing_.size() < kSendBatchBytes) {
      const size_t piece = std::min<size_t>(size, sizes_.cbMaximumMessage);
      const size_t at = outgoing_.size();
      outgoing_.resize(at + sizes_.cbHeader + piece + sizes_.cbTrailer);
      char* record = &outgoing_[at];
      std::memcpy(record + sizes_.cbHeader, p, piece);
      SecBuffer parts[4] = {{sizes_.cbHeader, SECBUFFER_STREAM_HEADER, record},
                            {static_cast<ULONG>(piece), SECBUFFER_DATA, record + sizes_.cbHeader},
                            {sizes_.cbTrailer, SECBUFFER_STREAM_TRAILER, record + sizes_.cbHeader + piece},
                            {0, SECBUFFER_EMPTY, nullptr}};
      SecBufferDesc desc = {SECBUFFER_VERSION, 4, parts};
      if (SECURITY_STATUS status = EncryptMessage(&context_, 0, &desc, 0); status != SEC_E_OK) return Fail(status);
      // The trailer may come out shorter than its room (the header never does).
      outgoing_.resize(at + parts[0].cbBuffer + parts[1].cbBuffer + parts[2].cbBuffer);
      p += piece;
      size -= piece;
    }
    if (HRESULT hr = socket_.Send(outgoing_.data(), outgoing_.size(), timeout_ms); FAILED(hr)) return Fail(hr);
  }
  return S_OK;
}

HRESULT TlsChannel::Receive(std::string* input, DWORD deadline) {
  if (!ready_ || failed_) return HRESULT_FROM_WIN32(WSAENOTCONN);
  while (true) {
    if (incoming_.empty() || need_more_) {
      if (HRESULT hr = ReadMore(deadline); FAILED(hr)) return hr;
    }
    SecBuffer parts[4] = {{static_cast<ULONG>(incoming_.size()), SECBUFFER_DATA, incoming_.data()},
                          {0, SECBUFFER_EMPTY, nullptr},
                          {0, SECBUFFER_EMPTY, nullptr},
                          {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc desc = {SECBUFFER_VERSION, 4, parts};
    const SECURITY_STATUS status = DecryptMessage(&context_, &desc, 0, nullptr);
    if (status == SEC_E_INCOMPLETE_MESSAGE) {
      need_more_ = true;
      continue;
    }
    // The server's close notify: nothing more comes, as when it closes the connection.
    if (status == SEC_I_CONTEXT_EXPIRED) return Fail(HRESULT_FROM_WIN32(WSAECONNRESET));
    if (status != SEC_E_OK && status != SEC_I_RENEGOTIATE) return Fail(status);
    size_t got = 0, extra = 0;
    for (const SecBuffer& part : parts) {
      if (part.BufferType == SECBUFFER_DATA && part.pvBuffer && part.cbBuffer > 0) {
        input->append(static_cast<const char*>(part.pvBuffer), part.cbBuffer);
        got += part.cbBuffer;
      } else if (part.BufferType == SECBUFFER_EXTRA) {
        extra = part.cbBuffer;
      }
    }
    // The record is decrypted in place; what follows it is the start of the next.
    incoming_.erase(0, incoming_.size() - std::min(extra, incoming_.size()));
    if (status == SEC_I_RENEGOTIATE) {
      // The server starts handshake messages: they run to the end, and a changed
      // certificate is judged again, before any more data is taken.
      if (HRESULT hr = Negotiate(deadline, true); FAILED(hr)) return hr;
    }
    if (got > 0) return S_OK;
  }
}

}  // namespace ovengine
