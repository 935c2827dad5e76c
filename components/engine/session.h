// The state of one engine, shared by the engine object and its I/O thread: the connection,
// the current entry, the rate limit and the transfer's phase. The object owns it jointly
// with a running thread, so whichever goes last frees it.
#pragma once
#include <winsock2.h>
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "../../ovtransfer/com/ptr.h"
#include "connection.h"
#include "token_bucket.h"

namespace ovengine {

// Replies to commands of the caller's thread come within this time, or the call fails.
constexpr DWORD kReplyTimeoutMs = 10000;

// A monotonic clock for the rate limit, in microseconds.
int64_t MonotonicMicros();

class Session : public std::enable_shared_from_this<Session> {
 public:
  Session();
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  HRESULT StartNetwork();
  void SetNotifyWindow(HWND window, UINT message);
  HRESULT Connect(const SOCKADDR_IN& server, DWORD timeout_ms, const ChannelSecurity& security);
  HRESULT Login(const std::wstring& user, const std::wstring& password, std::wstring* text);
  // A folder entry is made at once; a file entry is announced and becomes the current one.
  HRESULT PutEntry(const std::wstring& remote, const std::wstring& local, bool folder, LONG task_id,
                   std::wstring* text);
  HRESULT SetResumePosition(uint64_t position);
  HRESULT StartTransfer();
  HRESULT PauseTransfer();
  HRESULT FinishFile();
  void SetRateLimit(uint64_t bits_per_second);
  uint64_t BytesDone() const { return done_.load(); }
  // Ends the thread and the connection; posts nothing. Safe at any time, and more than once.
  void Disconnect();

 private:
  enum class Phase {
    kNone,       // no file entry selected
    kReady,      // announced with PUT, FROM not yet sent
    kStreaming,  // the I/O thread sends the bytes
    kPaused,     // the I/O thread waits for StartTransfer, the connection in the middle of the file
    kFinishing,  // every byte sent, the thread waits for the server's confirmation
    kDone,       // confirmed by the server
    kFailed,     // the thread ended on a failure
  };
  enum class Outcome { kDone, kStopped, kFailed };

  bool ThreadOwnsConnection() const {
    return phase_ == Phase::kStreaming || phase_ == Phase::kPaused || phase_ == Phase::kFinishing;
  }
  // The connection for a command from the caller's thread, or why there is none.
  HRESULT CommandConnection(std::shared_ptr<Connection>* connection);
  void CloseFile();
  // Posts unless the engine is being disconnected; the caller holds mutex_.
  void PostLocked(WPARAM code, LPARAM task_id);
  // A command that broke the connection ends the engine's transfers as a break during the
  // bytes does, so the control makes a new engine instead of retrying a dead one.
  HRESULT CommandFailed(const Connection& connection, HRESULT hr);

  // The I/O thread (upload_stream.cpp).
  void RunStream(std::shared_ptr<Connection> connection);
  Outcome Stream(Connection& connection);
  HRESULT ReadExactly(void* buffer, DWORD size);
  // Waits for a state change or for timeout_ms; false when the engine is stopping.
  bool WaitForChange(DWORD timeout_ms);
  void Ended(Outcome outcome);

  mutable std::mutex mutex_;
  bool network_started_ = false;
  HWND window_ = nullptr;
  UINT message_ = 0;
  std::shared_ptr<Connection> connection_;
  bool logged_in_ = false;
  bool bytes_due_ = false;  // FROM accepted and END not yet answered: no other command may go
  bool stopping_ = false;
  bool abort_posted_ = false;  // the connection's end is told once

  Phase phase_ = Phase::kNone;
  com::UniqueHandle file_;
  uint64_t size_ = 0;
  LONG task_id_ = 0;
  std::wstring remote_, local_;
  uint64_t resume_from_ = 0;
  uint64_t offset_ = 0;  // where the server told the transfer to go on
  std::atomic<uint64_t> done_{0};

  TokenBucket bucket_;
  bool rate_given_ = false;

  com::UniqueHandle wake_;          // auto-reset: the phase, the rate or stopping_ changed
  com::UniqueHandle thread_ended_;  // manual-reset, set while no I/O thread runs
};

}  // namespace ovengine
