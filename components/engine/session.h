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
#include <vector>

#include "../../ovtransfer/com/ptr.h"
#include "connection.h"
#include "hash_checkpoints.h"
#include "stall_setting.h"
#include "token_bucket.h"

namespace ovengine {

// Replies to commands of the caller's thread come within this time, or the call fails.
constexpr DWORD kReplyTimeoutMs = 10000;

// A running transfer whose connection breaks (reset, close, the stall detection, a refused
// connect) is carried on by the engine itself: after each of these pauses in turn it opens a
// new connection, checks the certificate, logs in again and goes on from what the receiver
// holds. The first try is at once, as a reset path usually works again; after the last one
// (15.5 s of pauses) it gives up and tells the control. A connection that carried part of the
// file before it broke earns the next break the whole series again.
constexpr DWORD kReconnectDelaysMs[] = {0, 500, 1000, 2000, 4000, 8000};
// One such attempt: the connect and the TLS handshake within this time.
constexpr DWORD kReconnectTimeoutMs = 10000;

// Opens connection to server within timeout_ms (the TLS handshake and the certificate check
// included, unless plain) and exchanges HELLO.
HRESULT Greet(Connection& connection, const SOCKADDR_IN& server, DWORD timeout_ms, const ChannelSecurity& security);

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

  // Whether a failure is a break of the path to the receiver (reset, close, refused, timed
  // out), which another connection may overcome, rather than the receiver's refusal, a reply
  // out of step or a certificate that does not pass.
  static bool IsBreak(HRESULT hr);

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
  enum class Outcome {
    kDone,      // the server confirmed the file
    kStopped,   // Disconnect
    kFailed,    // nothing more can be done for the file
    kBroken,    // the connection broke: another one may carry on
    kMismatch,  // the server refused the file's checksum (ERR 409) and dropped what it held
  };
  enum class Attempt { kResumed, kRetry, kGiveUp, kStopped };

  bool ThreadOwnsConnection() const {
    return phase_ == Phase::kStreaming || phase_ == Phase::kPaused || phase_ == Phase::kFinishing;
  }
  // The connection for a command from the caller's thread, or why there is none.
  HRESULT CommandConnection(std::shared_ptr<Connection>* connection);
  void CloseFile();
  // Posts unless the engine is being disconnected; the caller holds mutex_.
  void PostLocked(WPARAM code, LPARAM task_id);
  // A command whose connection broke and could not be replaced ends the engine's transfers,
  // as a break the I/O thread gives up on does, so the control makes a new engine.
  HRESULT CommandFailed(const Connection& connection, HRESULT hr);

  // A new connection in place of the engine's current one, greeted and logged in again with
  // the credentials of the last login, within timeout_ms for the connect and the handshake.
  // Installed as the engine's connection first, so that Disconnect can cancel it at any step.
  // The commands then go out with the login; their replies are left to the caller.
  HRESULT Reopen(DWORD timeout_ms, std::shared_ptr<Connection>* connection, Reply* login_reply,
                 const std::vector<std::string>& then = {});

  // What a failed step of a reconnect means: stop, try again later, or give up.
  Attempt AfterFailure(HRESULT hr);

  // The I/O thread (upload_stream.cpp). connection is null when the file's PUT or FROM met a
  // broken connection: the thread then starts by reconnecting.
  void RunStream(std::shared_ptr<Connection> connection);
  // buffer: kReadBytes for the file's pieces.
  Outcome Stream(Connection& connection, HashCheckpoints& checkpoints, std::vector<char>& buffer);
  // After a break: new connections after the pauses of kReconnectDelaysMs from *step on, until
  // one carries on the file (kResumed, and *connection is it) or the engine gives up.
  Attempt Reconnect(std::shared_ptr<Connection>* connection, size_t* step);
  // On an open, logged-in connection: PUT the current file again and go on FROM what the
  // receiver holds, or from 0 to send it afresh; sets offset_.
  Attempt Announce(Connection& connection, bool afresh);
  // Announce's two commands (none when the name cannot be sent), and the reading of their
  // replies once they went out.
  std::vector<std::string> AnnounceCommands(bool afresh);
  Attempt Announced(Connection& connection, bool afresh);
  // Waits ms (and for as long as the transfer is paused); false when the engine is stopping.
  bool Rest(DWORD ms);
  HRESULT ReadExactly(void* buffer, DWORD size);
  // Waits for a state change or for timeout_ms; false when the engine is stopping.
  bool WaitForChange(DWORD timeout_ms);
  void Ended(Outcome outcome);

  mutable std::mutex mutex_;
  bool network_started_ = false;
  HWND window_ = nullptr;
  UINT message_ = 0;
  std::shared_ptr<Connection> connection_;
  // Where and how the engine connected, and who logged in: what a reconnect repeats.
  SOCKADDR_IN server_ = {};
  ChannelSecurity security_;
  DWORD connect_timeout_ms_ = kReplyTimeoutMs;
  // A Send that sees nothing taken for this long finds the connection broken (set at Connect).
  DWORD stall_ms_ = kDefaultStallSeconds * 1000;
  std::string user_, password_;  // UTF-8, of the last successful login
  bool logged_in_ = false;
  bool bytes_due_ = false;  // FROM accepted and END not yet answered: no other command may go
  bool stopping_ = false;
  bool abort_posted_ = false;  // the connection's end is told once

  Phase phase_ = Phase::kNone;
  com::UniqueHandle file_;
  uint64_t size_ = 0;
  LONG task_id_ = 0;
  std::wstring remote_, local_;
  uint64_t held_ = 0;          // what the receiver held of the file at its PUT
  bool reconnect_due_ = false;  // the file's PUT or FROM found the connection broken
  uint64_t offset_ = 0;         // where the server told the transfer to go on
  // The file's bytes confirmed or in flight, never lower than before a reconnect for the same
  // file: what the receiver lost of the flight is sent again without being counted again.
  std::atomic<uint64_t> done_{0};

  TokenBucket bucket_;
  bool rate_given_ = false;

  com::UniqueHandle wake_;          // auto-reset: the phase, the rate or stopping_ changed
  com::UniqueHandle thread_ended_;  // manual-reset, set while no I/O thread runs
};

}  // namespace ovengine
