#include "snapshot_post.h"

#include <wininet.h>

#include <vector>

#include "../com/unique.h"

namespace snapshot {
namespace {

using InternetHandle = com::Unique<HINTERNET, InternetCloseHandle>;

constexpr DWORD kPieceSize = 1024;
constexpr DWORD kReplyRoom = 1024;
constexpr DWORD kLongestGoodReply = 4;

// The error the system reported; never 0, so that a failure can not pass for success.
DWORD LastError(DWORD fallback) {
  const DWORD error = GetLastError();
  return error ? error : fallback;
}

struct Request {
  bool secure = false;
  std::wstring host, user, password, target;
  INTERNET_PORT port = 0;
};

// Splits the address and builds the request target; 0 or the failure.
PostResult PrepareRequest(const std::wstring& address, LONG seconds, Request* request) {
  wchar_t scheme[32], host[256], user[128], password[128], path[kAddressRoom];
  URL_COMPONENTSW parts = {};
  parts.dwStructSize = sizeof(parts);
  parts.lpszScheme = scheme;
  parts.dwSchemeLength = ARRAYSIZE(scheme);
  parts.lpszHostName = host;
  parts.dwHostNameLength = ARRAYSIZE(host);
  parts.lpszUserName = user;
  parts.dwUserNameLength = ARRAYSIZE(user);
  parts.lpszPassword = password;
  parts.dwPasswordLength = ARRAYSIZE(password);
  parts.lpszUrlPath = path;  // no room for extra information: the query and fragment stay in the path
  parts.dwUrlPathLength = ARRAYSIZE(path);
  if (!InternetCrackUrlW(address.c_str(), 0, 0, &parts)) return LastError(ERROR_INTERNET_INVALID_URL);
  if (parts.nScheme != INTERNET_SCHEME_HTTP && parts.nScheme != INTERNET_SCHEME_HTTPS) return kPostRefused;

  request->secure = parts.nScheme == INTERNET_SCHEME_HTTPS;
  request->host.assign(host, parts.dwHostNameLength);
  request->user.assign(user, parts.dwUserNameLength);
  request->password.assign(password, parts.dwPasswordLength);
  request->port = parts.nPort ? parts.nPort
                              : (request->secure ? INTERNET_DEFAULT_HTTPS_PORT : INTERNET_DEFAULT_HTTP_PORT);

  // The fragment never goes to the server; the playing time joins the query.
  std::wstring target(path, parts.dwUrlPathLength);
  const size_t fragment = target.rfind(L'#');
  if (fragment != std::wstring::npos) target.resize(fragment);
  target += target.find(L'?') != std::wstring::npos ? L"&$dur$=" : L"?$dur$=";
  target += std::to_wstring(seconds);
  if (target.size() >= kAddressRoom) return ERROR_INSUFFICIENT_BUFFER;
  request->target = std::move(target);
  return 0;
}

// The answer's status code, or 0 when no status line came back.
DWORD StatusCode(HINTERNET request) {
  DWORD status = 0, size = sizeof(status);
  return HttpQueryInfoW(request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size, nullptr) ? status
                                                                                                          : 0;
}

bool Challenged(HINTERNET request) {
  const DWORD status = StatusCode(request);
  return status == HTTP_STATUS_DENIED || status == HTTP_STATUS_PROXY_AUTH_REQ;
}

// Sends the request with the body (the file's bytes, or nothing) and judges the answer.
PostResult Send(const Request& r, HANDLE file, DWORD size) {
  InternetHandle net(InternetOpenW(L"", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
  if (!net) return LastError(ERROR_INTERNET_INTERNAL_ERROR);
  InternetHandle connection(
      InternetConnectW(net.Get(), r.host.c_str(), r.port, r.user.empty() ? nullptr : r.user.c_str(),
                       r.user.empty() ? nullptr : r.password.c_str(), INTERNET_SERVICE_HTTP, 0, 0));
  if (!connection) return LastError(ERROR_INTERNET_CANNOT_CONNECT);
  // https goes over TLS, with the certificate checks left on.
  const DWORD flags = INTERNET_FLAG_NO_CACHE_WRITE | (r.secure ? INTERNET_FLAG_SECURE : 0);
  InternetHandle request(
      HttpOpenRequestW(connection.Get(), L"POST", r.target.c_str(), nullptr, nullptr, nullptr, flags, 0));
  if (!request) return LastError(ERROR_INTERNET_INTERNAL_ERROR);

  INTERNET_BUFFERSW buffers = {};
  buffers.dwStructSize = sizeof(buffers);  // 40 bytes in 32-bit builds, 56 in 64-bit ones
  buffers.dwBufferTotal = size;            // announced before the body goes
  if (!HttpSendRequestExW(request.Get(), &buffers, nullptr, 0, 0)) return LastError(ERROR_INTERNET_INTERNAL_ERROR);
  BYTE piece[kPieceSize];
  for (DWORD sent = 0; sent < size;) {
    DWORD read = 0;
    if (!ReadFile(file, piece, kPieceSize, &read, nullptr)) return LastError(ERROR_READ_FAULT);
    // The file is not shared while it is sent, so it ends where its size said.
    if (read == 0) return ERROR_HANDLE_EOF;
    DWORD written = 0;
    if (!InternetWriteFile(request.Get(), piece, read, &written)) return LastError(ERROR_INTERNET_INTERNAL_ERROR);
    sent += read;
  }
  bool retry = false;
  if (!HttpEndRequestW(request.Get(), nullptr, 0, 0)) {
    const DWORD error = LastError(ERROR_INTERNET_INTERNAL_ERROR);
    if (error != ERROR_INTERNET_FORCE_RETRY) return error;
    retry = true;
  } else {
    retry = Challenged(request.Get());
  }
  if (retry && !r.user.empty()) {
    // The server asks for the address's credentials. The client answers a challenge only
    // when it sends the whole request itself, so the same request goes once more that way.
    std::vector<BYTE> body(size);
    if (size) {
      DWORD read = 0;
      if (SetFilePointer(file, 0, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER ||
          !ReadFile(file, body.data(), size, &read, nullptr))
        return LastError(ERROR_READ_FAULT);
      if (read != size) return ERROR_HANDLE_EOF;
    }
    if (!HttpSendRequestW(request.Get(), nullptr, 0, size ? body.data() : nullptr, size))
      return LastError(ERROR_INTERNET_INTERNAL_ERROR);
  }

  // Whatever the status says, there must be one: a peer that closed without answering (or
  // that speaks no HTTP) has not taken the post.
  if (StatusCode(request.Get()) == 0) return ERROR_HTTP_INVALID_SERVER_RESPONSE;
  char reply[kReplyRoom] = {};
  DWORD got = 0;
  if (!InternetReadFile(request.Get(), reply, kReplyRoom, &got)) return LastError(ERROR_INTERNET_INTERNAL_ERROR);
  return got <= kLongestGoodReply ? 0 : kPostRefused;
}

}  // namespace

bool AddressIsPostable(const std::wstring& address) {
  Request request;
  return PrepareRequest(address, 0, &request) == 0;
}

PostResult PostDuration(const std::wstring& address, LONG seconds) {
  Request request;
  if (PostResult result = PrepareRequest(address, seconds, &request)) return result;
  return Send(request, nullptr, 0);
}

PostResult PostFile(const std::wstring& address, const std::wstring& file_path, LONG seconds) {
  Request request;
  if (PostResult result = PrepareRequest(address, seconds, &request)) return result;
  com::UniqueFile file(
      CreateFileW(file_path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.Valid()) return LastError(ERROR_FILE_NOT_FOUND);
  LARGE_INTEGER size = {};
  if (!GetFileSizeEx(file.Get(), &size)) return LastError(ERROR_READ_FAULT);
  // The whole size counts: a file of 4 GiB and some bytes is not a small one.
  if (size.QuadPart == 0 || size.QuadPart > kMaxStillSize) return kPostRefused;
  return Send(request, file.Get(), static_cast<DWORD>(size.QuadPart));
}

}  // namespace snapshot
