// The I/O thread of one file: hashes what the server already holds, streams the rest under
// the rate limit, and ends the file with END once the server confirms size and checksum. A
// break on the way is carried over to a new connection (reconnect.cpp).
#include "session.h"

#include <algorithm>
#include <vector>

#include "../../ovtransfer/outside/transfer_engine.h"
#include "xxh64.h"

namespace ovengine {
namespace {

constexpr DWORD kReadBytes = 1024 * 1024;
// The checksum's state is kept at every such step, so that going on after a break hashes at
// most this much from disk again.
constexpr DWORD kCheckpointBytes = 256 * 1024;
constexpr DWORD kProgressIntervalMs = 100;  // at most ten progress notifications a second
// The control sets the rate right after StartTransfer: the first bytes wait that long for
// it, so that a limited upload does not open with an unlimited burst.
constexpr DWORD kRateGraceMs = 200;
constexpr DWORD kEndTimeoutMs = 60000;   // the server checks the whole file before it answers END

// Adds piece, which starts at position of the file, to hash, and keeps the state at each step.
void HashPiece(const char* piece, DWORD size, uint64_t position, Xxh64& hash, HashCheckpoints& checkpoints) {
  for (DWORD at = 0; at < size;) {
    const DWORD step = std::min(kCheckpointBytes, size - at);
    hash.Update(piece + at, step);
    at += step;
    checkpoints.Record(position + at, hash);
  }
}

}  // namespace

void Session::RunStream(std::shared_ptr<Connection> connection) {
  HashCheckpoints checkpoints;
  // One buffer for the file: a fresh one after each break would cost the reconnect its pages.
  std::vector<char> buffer(kReadBytes);
  size_t step = 0;         // pauses of kReconnectDelaysMs used up since the file last moved on
  bool restarted = false;  // a file whose checksum the server refused is sent afresh once
  Outcome outcome = connection ? Stream(*connection, checkpoints, buffer) : Outcome::kBroken;
  while (true) {
    Attempt next;
    if (outcome == Outcome::kBroken) {
      next = Reconnect(&connection, &step);
    } else if (outcome == Outcome::kMismatch && !restarted) {
      // The file changed since the part the server held was sent: the server dropped it.
      restarted = true;
      checkpoints.Clear();
      next = Announce(*connection, true);
      if (next == Attempt::kRetry) {
        outcome = Outcome::kBroken;
        continue;
      }
    } else {
      break;
    }
    if (next != Attempt::kResumed) {
      outcome = next == Attempt::kStopped ? Outcome::kStopped : Outcome::kFailed;
      break;
    }
    outcome = Stream(*connection, checkpoints, buffer);
  }
  // A connection left in the middle of a file, or out of step, carries no further command.
  if (outcome != Outcome::kDone && connection) connection->Cancel();
  Ended(outcome);
}

void Session::Ended(Outcome outcome) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (outcome == Outcome::kDone) {
      phase_ = Phase::kDone;
      bytes_due_ = false;
      PostLocked(NOTIFY_FILE_DONE, task_id_);
    } else {
      phase_ = Phase::kFailed;
      if (outcome != Outcome::kStopped) PostLocked(NOTIFY_ABORTED, 0);
    }
  }
  SetEvent(thread_ended_.Get());
}

bool Session::WaitForChange(DWORD timeout_ms) {
  WaitForSingleObject(wake_.Get(), timeout_ms);
  std::lock_guard<std::mutex> lock(mutex_);
  return !stopping_;
}

HRESULT Session::ReadExactly(void* buffer, DWORD size) {
  char* p = static_cast<char*>(buffer);
  while (size > 0) {
    DWORD got = 0;
    if (!ReadFile(file_.Get(), p, size, &got, nullptr)) return HRESULT_FROM_WIN32(GetLastError());
    if (got == 0) return HRESULT_FROM_WIN32(ERROR_HANDLE_EOF);  // the file shrank since PUT
    p += got;
    size -= got;
  }
  return S_OK;
}

Session::Outcome Session::Stream(Connection& connection, HashCheckpoints& checkpoints, std::vector<char>& buffer) {
  uint64_t size, offset;
  DWORD stall_ms;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    size = size_;
    offset = offset_;
    stall_ms = stall_ms_;
  }
  Xxh64 hash;
  // END's checksum covers the whole file: the part the server holds is hashed from disk, from
  // the nearest state kept before it.
  uint64_t pos = checkpoints.Nearest(offset, &hash);
  LARGE_INTEGER start;
  start.QuadPart = static_cast<LONGLONG>(pos);
  if (!SetFilePointerEx(file_.Get(), start, nullptr, FILE_BEGIN)) return Outcome::kFailed;
  while (pos < offset) {
    const DWORD piece = static_cast<DWORD>(std::min<uint64_t>(kReadBytes, offset - pos));
    if (FAILED(ReadExactly(buffer.data(), piece))) return Outcome::kFailed;
    HashPiece(buffer.data(), piece, pos, hash, checkpoints);
    pos += piece;
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) return Outcome::kStopped;
  }

  for (const DWORD since = GetTickCount();;) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (stopping_) return Outcome::kStopped;
      if (rate_given_) break;
    }
    const DWORD waited = GetTickCount() - since;
    if (waited >= kRateGraceMs) break;
    WaitForChange(kRateGraceMs - waited);
  }

  size_t unsent = 0, next = 0;  // buffer[next, next + unsent): read and hashed, not yet sent
  DWORD last_progress = GetTickCount() - kProgressIntervalMs;
  while (true) {
    if (unsent == 0 && pos < size) {
      const DWORD piece = static_cast<DWORD>(std::min<uint64_t>(kReadBytes, size - pos));
      if (FAILED(ReadExactly(buffer.data(), piece))) return Outcome::kFailed;
      HashPiece(buffer.data(), piece, pos, hash, checkpoints);
      next = 0;
      unsent = piece;
    }
    TokenBucket::Grant grant = {0, 0};
    bool paused;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (stopping_) return Outcome::kStopped;
      paused = phase_ == Phase::kPaused;
      if (!paused && pos == size) {
        phase_ = Phase::kFinishing;
        PostLocked(NOTIFY_PROGRESS, task_id_);
        break;
      }
      if (!paused) grant = bucket_.Take(unsent, MonotonicMicros());
    }
    if (paused || grant.bytes == 0) {
      if (!WaitForChange(paused ? INFINITE : static_cast<DWORD>((grant.wait_us + 999) / 1000)))
        return Outcome::kStopped;
      continue;
    }
    // The path took nothing for the user's stall time: the connection is as good as gone.
    if (FAILED(connection.Send(buffer.data() + next, static_cast<size_t>(grant.bytes), stall_ms)))
      return Outcome::kBroken;
    next += static_cast<size_t>(grant.bytes);
    unsent -= static_cast<size_t>(grant.bytes);
    pos += grant.bytes;
    if (pos > done_) done_ = pos;  // bytes sent again after a break are not counted again
    if (pos < size && GetTickCount() - last_progress >= kProgressIntervalMs) {
      last_progress = GetTickCount();
      std::lock_guard<std::mutex> lock(mutex_);
      PostLocked(NOTIFY_PROGRESS, task_id_);
    }
  }

  const std::string checksum = ChecksumText(hash.Digest());
  Reply reply;
  if (FAILED(connection.Exchange("END " + checksum, &reply, kEndTimeoutMs))) return Outcome::kBroken;
  if (!reply.ok && reply.code == 409) return Outcome::kMismatch;
  // Only the server's confirmation of this very size and checksum means the file is uploaded.
  if (!reply.ok || reply.fields.size() != 2 || reply.fields[0] != std::to_string(size) || reply.fields[1] != checksum)
    return Outcome::kFailed;
  return Outcome::kDone;
}

}  // namespace ovengine
