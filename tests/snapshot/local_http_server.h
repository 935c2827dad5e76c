// An HTTP server of the test program on the loopback interface: it records every request
// (method, target, headers, body) and answers with replies the test chooses.
#pragma once
#include <winsock2.h>
#include <windows.h>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace snapshot_tests {

struct RecordedRequest {
  std::string method, target;
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
  // The value of the first header of that name (any letter case), or "" when absent.
  std::string Header(const std::string& name) const;
  bool HasHeader(const std::string& name) const;
};

// A complete response with a Content-Length for body.
std::string HttpResponse(int status, const std::string& body, const std::string& extra_headers = "");

class LocalHttpServer {
 public:
  LocalHttpServer();
  ~LocalHttpServer();
  LocalHttpServer(const LocalHttpServer&) = delete;
  LocalHttpServer& operator=(const LocalHttpServer&) = delete;

  USHORT Port() const { return port_; }
  // http://127.0.0.1:port followed by path.
  std::wstring Url(const std::wstring& path) const;

  // Replies used in order, one per request; afterwards every request gets the default. An
  // empty reply closes the connection without an answer.
  void QueueReply(std::string response);
  void SetDefaultReply(std::string response);
  // Requests without an Authorization header get this answer instead (a challenge); "" ends it.
  void ChallengeUnauthorised(std::string response);
  // While held, requests are recorded but not answered.
  void HoldReplies();
  void ReleaseReplies();

  std::vector<RecordedRequest> Requests();
  // Connections accepted so far.
  int Connections();
  // True when at least count requests have come within timeout_ms.
  bool WaitForRequests(size_t count, DWORD timeout_ms = 10000);

 private:
  void AcceptLoop();
  void Serve(SOCKET connection);
  std::string NextReply(const RecordedRequest& request);

  SOCKET listener_ = INVALID_SOCKET;
  USHORT port_ = 0;
  std::thread acceptor_;
  std::mutex mutex_;
  std::condition_variable changed_;
  bool stopping_ = false;
  bool held_ = false;
  std::vector<RecordedRequest> requests_;
  std::deque<std::string> replies_;
  std::string default_reply_;
  std::string challenge_;
  std::vector<SOCKET> connections_;  // open ones
  int accepted_ = 0;
  std::vector<std::thread> servers_;
};

}  // namespace snapshot_tests
