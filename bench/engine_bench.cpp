// The transfer engine against the real receiver on loopback, measured in one run:
//  1. one 256 MiB upload without limit over TLS, against the engine in clear (the user's
//     plain-server setting, to a receiver started --plain) and against a plain TCP copy of
//     the same file to that receiver (a blocking socket from this program that reads the file
//     in 1 MiB pieces and speaks the bare protocol: PUT, FROM 0, the bytes, END); with the
//     processor seconds per GiB that each end spent, since both ends share this machine's
//     cores;
//  2. over TLS, the rate held at 102 400, 1 048 576 and 8 388 608 bits per second over 5 s each:
//     the average against the target and the busiest one-second window;
//  3. over TLS, the 256 MiB upload through a proxy that cuts the connection every 16 MiB (the
//     engine reconnects and goes on by itself) against the same proxy without cuts, and what
//     each cut costs in time.
#include <winsock2.h>
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "components/engine/engine_object.h"
#include "components/engine/plain_servers.h"
#include "components/engine/protocol.h"
#include "components/engine/xxh64.h"
#include "ovtransfer/com/unique.h"
#include "support/fault_proxy_process.h"
#include "support/receiver_process.h"
#include "support/scratch_folder.h"
#include "support/unix_program.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

// One way of uploading the big file: its best time, and the processor seconds each end spent
// in that run.
struct Run {
  double seconds = 1e300, sender_cpu = 0, receiver_cpu = 0;
  // Runs upload (seconds, or negative on failure) and keeps it if it is the fastest so far.
  template <typename Upload>
  bool Measure(const testing_support::ReceiverProcess& receiver, Upload upload) {
    const double sender = testing_support::OwnCpuSeconds(), received = receiver.CpuSeconds();
    const double s = upload();
    if (s < 0) return false;
    if (s < seconds) {
      seconds = s;
      sender_cpu = testing_support::OwnCpuSeconds() - sender;
      receiver_cpu = receiver.CpuSeconds() - received;
    }
    return true;
  }
};

// Collects the engine's notifications on this thread.
struct Notifications {
  static LRESULT CALLBACK Proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_TRANSFER_NOTIFY) {
      last = wparam;
      return 0;
    }
    return DefWindowProcW(window, message, wparam, lparam);
  }
  Notifications() {
    WNDCLASSW wc = {};
    wc.lpfnWndProc = Proc;
    wc.lpszClassName = L"OvEngineBench";
    RegisterClassW(&wc);
    window = CreateWindowExW(0, wc.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
  }
  // Pumps until code arrives or seconds pass.
  bool WaitFor(WPARAM code, double seconds) {
    last = 0;
    const auto since = Clock::now();
    while (last != code && last != NOTIFY_ABORTED && Seconds(since) < seconds) {
      MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
      Pump();
    }
    return last == code;
  }
  static void Pump() {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
  }
  HWND window;
  static inline WPARAM last = 0;
};

// The engine of a task whose page named the server localhost.
com::ComPtr<ITransferEngine> Engine(const SOCKADDR_IN& server, HWND window) {
  com::ComPtr<ITransferEngine> engine;
  if (FAILED(com::CreateInstance<ovengine::CTransferEngine>(nullptr, IID_ITransferEngine, engine.ReceiveVoid())))
    return {};
  com::ComPtr<ITransferEngineServer> named;
  if (FAILED(engine.As(&named, IID_ITransferEngineServer)) || FAILED(named->SetServerName(L"localhost"))) return {};
  engine->SetNotifyWindow(window, WM_TRANSFER_NOTIFY);
  SOCKADDR_IN any = {};
  wchar_t reply[64];
  if (FAILED(engine->Initialize(2, &any, 0)) || FAILED(engine->Connect(&server, 2000)) ||
      FAILED(engine->Login(L"alice", L"secret", reply, 64)))
    return {};
  return engine;
}

bool Put(ITransferEngine* engine, const std::wstring& remote, const std::wstring& local) {
  wchar_t remote_out[260], status[64];
  return SUCCEEDED(engine->PutFile(remote.c_str(), local.c_str(), 0, 0, 1, remote_out, 260, status, 64));
}

// Seconds for the engine to upload the file without limit, or a negative value on failure.
double EngineUpload(const SOCKADDR_IN& server, Notifications& notes, const std::wstring& local,
                    const std::wstring& remote) {
  auto engine = Engine(server, notes.window);
  if (!engine || !Put(engine.Get(), remote, local)) return -1;
  const auto since = Clock::now();
  if (FAILED(engine->StartTransfer())) return -1;
  engine->SetRateLimit(0);
  const bool done = notes.WaitFor(NOTIFY_FILE_DONE, 600);
  const double seconds = Seconds(since);
  engine->Disconnect();
  return done ? seconds : -1;
}

// A plain copy: blocking socket, the bare protocol, the file in 1 MiB pieces.
class PlainCopy {
 public:
  bool Line(const std::string& command, std::string* reply) {
    const std::string line = command + "\n";
    if (send(socket_, line.data(), static_cast<int>(line.size()), 0) != static_cast<int>(line.size())) return false;
    reply->clear();
    char c;
    while (recv(socket_, &c, 1, 0) == 1 && c != '\n') *reply += c;
    return reply->compare(0, 2, "OK") == 0;
  }
  double Run(const testing_support::ReceiverProcess& receiver, const std::wstring& local, const std::string& remote,
             uint64_t size, const std::string& checksum) {
    socket_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    const SOCKADDR_IN server = receiver.Address();
    std::string reply;
    if (connect(socket_, reinterpret_cast<const sockaddr*>(&server), sizeof(server)) != 0 ||
        !Line("HELLO OVT/1", &reply) || !Line("LOGIN alice secret", &reply) ||
        !Line("PUT " + remote + " " + std::to_string(size), &reply))
      return -1;
    com::UniqueFile file(CreateFileW(local.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                     FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    std::vector<char> buffer(1 << 20);
    const auto since = Clock::now();
    bool ok = Line("FROM 0", &reply);
    DWORD got = 0;
    while (ok && ReadFile(file.Get(), buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr) && got > 0)
      ok = send(socket_, buffer.data(), static_cast<int>(got), 0) == static_cast<int>(got);
    ok = ok && Line("END " + checksum, &reply);
    const double seconds = Seconds(since);
    file.Reset();
    Line("BYE", &reply);
    closesocket(socket_);
    return ok ? seconds : -1;
  }

 private:
  SOCKET socket_ = INVALID_SOCKET;
};

struct RateResult {
  double average;  // bytes a second over the run
  double busiest;  // bytes in the busiest one-second window
};

// Uploads at rate for 5 s, sampling the engine's done count every few milliseconds.
RateResult MeasureRate(const testing_support::ReceiverProcess& receiver, Notifications& notes,
                       const std::wstring& local, DWORD rate) {
  auto engine = Engine(receiver.Address(), notes.window);
  if (!engine || !Put(engine.Get(), L"bench/rate-" + std::to_wstring(rate) + L".bin", local)) return {-1, -1};
  std::vector<std::pair<double, ULONGLONG>> samples;
  const auto since = Clock::now();
  engine->StartTransfer();
  engine->SetRateLimit(rate);
  while (Seconds(since) < 5.0) {
    Notifications::Pump();
    ULONGLONG done = 0;
    engine->GetBytesTransferred(&done);
    samples.emplace_back(Seconds(since), done);
    Sleep(2);
  }
  engine->Disconnect();
  RateResult result = {static_cast<double>(samples.back().second) / samples.back().first, 0};
  for (size_t i = 0, j = 0; i < samples.size(); ++i) {
    while (j + 1 < samples.size() && samples[j + 1].first - samples[i].first <= 1.0) ++j;
    result.busiest = std::max(result.busiest, static_cast<double>(samples[j].second - samples[i].second));
  }
  return result;
}

std::wstring WriteTestFile(const testing_support::ScratchFolder& folder, const std::wstring& name, uint64_t size,
                           uint64_t* checksum) {
  const std::wstring path = folder / name;
  com::UniqueFile file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
  std::vector<uint64_t> block(1 << 17);
  uint64_t x = 0x9E3779B97F4A7C15ULL;
  ovengine::Xxh64 hash;
  for (uint64_t written = 0; written < size;) {
    for (uint64_t& word : block) word = (x ^= x << 13, x ^= x >> 7, x ^= x << 17);
    const DWORD piece = static_cast<DWORD>(std::min<uint64_t>(block.size() * 8, size - written));
    DWORD put = 0;
    WriteFile(file.Get(), block.data(), piece, &put, nullptr);
    hash.Update(block.data(), piece);
    written += piece;
  }
  *checksum = hash.Digest();
  return path;
}

// Whether the receiver holds the remote file with this checksum.
bool Arrived(const testing_support::ReceiverProcess& receiver, const std::wstring& remote, uint64_t checksum) {
  com::UniqueFile file(CreateFileW(receiver.PathOf(remote).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                   OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!file.Valid()) return false;
  std::vector<char> buffer(1 << 20);
  ovengine::Xxh64 hash;
  DWORD got = 0;
  while (ReadFile(file.Get(), buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr) && got > 0)
    hash.Update(buffer.data(), got);
  return hash.Digest() == checksum;
}

}  // namespace

int main() {
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  WSADATA data;
  WSAStartup(MAKEWORD(2, 2), &data);
  {
    testing_support::ReceiverProcess receiver,
        plain_receiver({"alice:secret"}, testing_support::ReceiverProcess::Channel::kPlain);
    if (!receiver.Start() || !plain_receiver.Start()) {
      std::printf("receiver: %s%s\n", receiver.Error().c_str(), plain_receiver.Error().c_str());
      return 1;
    }
    // The user's choice: the plain receiver is reached in clear.
    const std::wstring plain_entry = L"localhost:" + std::to_wstring(plain_receiver.Port());
    {
      com::UniqueHKey key;
      RegCreateKeyExW(HKEY_CURRENT_USER, ovengine::kPlainServersKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                      key.Receive(), nullptr);
      RegSetValueExW(key.Get(), plain_entry.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(L""), sizeof(wchar_t));
    }
    testing_support::ScratchFolder local;
    Notifications notes;

    constexpr uint64_t kBig = 256ull << 20;
    uint64_t checksum = 0;
    const std::wstring big = WriteTestFile(local, L"big.bin", kBig, &checksum);
    Run copy, plain, tls;
    for (int run = 0; run < 2; ++run) {
      const bool ok =
          copy.Measure(plain_receiver, [&] {
            return PlainCopy().Run(plain_receiver, big, "bench/copy.bin", kBig, ovengine::ChecksumText(checksum));
          }) &&
          plain.Measure(plain_receiver, [&] { return EngineUpload(plain_receiver.Address(), notes, big, L"bench/plain.bin"); }) &&
          tls.Measure(receiver, [&] { return EngineUpload(receiver.Address(), notes, big, L"bench/tls.bin"); });
      if (!ok) {
        std::printf("upload failed in run %d\n", run + 1);
        return 1;
      }
      DeleteFileW(plain_receiver.PathOf(L"bench/copy.bin").c_str());
      DeleteFileW(plain_receiver.PathOf(L"bench/plain.bin").c_str());
      DeleteFileW(receiver.PathOf(L"bench/tls.bin").c_str());
    }
    RegDeleteKeyValueW(HKEY_CURRENT_USER, ovengine::kPlainServersKey, plain_entry.c_str());
    const double mib = static_cast<double>(kBig) / (1 << 20), gib = mib / 1024;
    std::printf("256 MiB upload: TLS engine %.0f MiB/s, plain engine %.0f MiB/s, plain TCP copy %.0f MiB/s\n",
                mib / tls.seconds, mib / plain.seconds, mib / copy.seconds);
    std::printf("  plain engine / plain copy %.2f (goal >= 0.80); TLS engine / plain engine %.2f, "
                "TLS engine / plain copy %.2f (goal >= 0.80)\n",
                copy.seconds / plain.seconds, plain.seconds / tls.seconds, copy.seconds / tls.seconds);
    for (const auto& [name, r] : {std::pair<const char*, const Run&>{"TLS engine", tls}, {"plain engine", plain},
                                  {"plain copy", copy}})
      std::printf("  %-12s processor s/GiB: sender %.2f, receiver %.2f, both %.2f (of %.2f s/GiB of wall time)\n",
                  name, r.sender_cpu / gib, r.receiver_cpu / gib, (r.sender_cpu + r.receiver_cpu) / gib,
                  r.seconds / gib);

    for (DWORD rate : {102400u, 1048576u, 8388608u}) {
      uint64_t unused;
      const std::wstring file = WriteTestFile(local, L"rate.bin", rate / 8 * 8, &unused);
      const RateResult r = MeasureRate(receiver, notes, file, rate);
      const double target = rate / 8.0;
      std::printf("rate %7lu bps: average %6.2f%% of target, busiest second %6.2f%% (goals 97-103%%, <= 110%%)\n",
                  static_cast<unsigned long>(rate), 100 * r.average / target, 100 * r.busiest / target);
    }

    testing_support::FaultProxy::Faults cuts;
    cuts.cut_every = 16ull << 20;
    cuts.lifetime_seconds = 900;
    testing_support::FaultProxy::Faults none;
    none.lifetime_seconds = 900;
    testing_support::FaultProxy cutting(receiver.Port(), cuts), uncut(receiver.Port(), none);
    if (!cutting.Start() || !uncut.Start()) {
      std::printf("proxy: %s%s\n", cutting.Error().c_str(), uncut.Error().c_str());
      return 1;
    }
    // Four runs each, taken in turns: a break's cost is a few milliseconds, the machine's
    // noise as much.
    constexpr int kCutRuns = 4;
    double with_cuts = 1e300, without = 1e300;
    for (int run = 0; run < kCutRuns; ++run) {
      const double u = EngineUpload(uncut.Address(), notes, big, L"bench/uncut.bin");
      const double c = EngineUpload(cutting.Address(), notes, big, L"bench/cut.bin");
      if (u < 0 || c < 0 || !Arrived(receiver, L"bench/cut.bin", checksum)) {
        std::printf("upload through the proxy failed (uncut %.3f s, cut %.3f s)\n", u, c);
        return 1;
      }
      without = std::min(without, u);
      with_cuts = std::min(with_cuts, c);
      DeleteFileW(receiver.PathOf(L"bench/uncut.bin").c_str());
      DeleteFileW(receiver.PathOf(L"bench/cut.bin").c_str());
    }
    const double cuts_per_run = static_cast<double>(cutting.Ended("cut")) / kCutRuns;
    std::printf("256 MiB through a proxy, TLS: cut every 16 MiB %.0f MiB/s (%.0f cuts a run), uncut %.0f MiB/s; "
                "cut / uncut %.2f (goal >= 0.80); each cut costs %.1f ms\n",
                mib / with_cuts, cuts_per_run, mib / without, without / with_cuts,
                cuts_per_run > 0 ? 1000 * (with_cuts - without) / cuts_per_run : 0.0);
  }
  WSACleanup();
  CoUninitialize();
  return 0;
}
