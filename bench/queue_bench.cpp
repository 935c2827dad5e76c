// Costs of the queue measured side by side in one run, reported as ratios (the machine is
// shared, so only ratios mean something): a folder task against a plain folder walk, the
// one-second tick with 100 and 1 000 tasks, and the task store against plain file I/O.
#include <winsock2.h>
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "ovtransfer/control/file_helpers.h"
#include "ovtransfer/com/registry.h"
#include "ovtransfer/com/unique.h"
#include "ovtransfer/control/settings.h"
#include "ovtransfer/queue/task_store.h"
#include "ovtransfer/ui/resource_ids.h"
#include "support/fake_engine.h"
#include "support/hosted_test_control.h"
#include "support/scratch_folder.h"

namespace {

using Clock = std::chrono::steady_clock;
using testing_support::HostedTestControl;

// The best of a few runs, in milliseconds.
double Best(int runs, const std::function<void()>& body) {
  double best = 1e300;
  for (int i = 0; i < runs; ++i) {
    const auto start = Clock::now();
    body();
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    if (ms < best) best = ms;
  }
  return best;
}

// The bytes a task's records hold: the entries and their strings as allocated.
size_t TaskBytes(const UploadTask& task) {
  const auto text = [](const std::wstring& s) { return s.capacity() > 7 ? (s.capacity() + 1) * sizeof(wchar_t) : 0; };
  size_t bytes = sizeof(UploadTask) + text(task.title) + text(task.address_text) + text(task.first_remote_name) +
                 task.files.capacity() * sizeof(UploadFile);
  for (const UploadFile& f : task.files) bytes += text(f.local_path) + text(f.remote_name) + text(f.relative_name);
  return bytes;
}

void FolderTask() {
  testing_support::ScratchFolder files;
  const std::wstring folder = files.MakeFolder(L"many");
  for (int i = 0; i < 10000; ++i) files.WriteFile(L"many\\file" + std::to_wstring(i) + L".dat", "x");
  const std::wstring primary = files.WriteFile(L"p.dat", "p");
  HostedTestControl control;
  int n = 0;
  const double add = Best(3, [&] {
    const std::wstring name = L"r" + std::to_wstring(n++);
    control.Add(HostedTestControl::kAddItem, L"t", L"127.0.0.1", 1, primary, folder, name.c_str(), L"d", STYLE_FOLDER);
  });
  const size_t held = TaskBytes(control.Object().Queue().At(0));
  com::Bstr path(folder);
  const double walk = Best(3, [&] { file_helpers::FolderSize(path.Get(), true); });
  std::printf("folder task of 10000 files: %.1f ms; GetFolderSize of it: %.1f ms; ratio %.2f\n", add, walk,
              add / walk);
  std::printf("one such task holds %.2f MiB (%.0f bytes per entry)\n", static_cast<double>(held) / (1 << 20),
              static_cast<double>(held) / 10002.0);
}

void Ticks() {
  testing_support::ComApartment apartment;
  testing_support::EngineScript script;
  testing_support::FakeEngineRegistration engines(script);
  testing_support::ScratchFolder files;
  const std::wstring file = files.WriteFile(L"f.dat", "data");
  double per_tick[2] = {};
  const int sizes[2] = {100, 1000};
  for (int k = 0; k < 2; ++k) {
    HostedTestControl control;
    HWND window = control.Host().ControlWindow();
    control.Choose(IDC_COUNT_COMBO, 5);  // "10"
    for (int i = 0; i < sizes[k]; ++i) {
      const std::wstring name = L"t" + std::to_wstring(i);
      control.Add(HostedTestControl::kAddItem, name.c_str(), L"127.0.0.1", 1, file, L"", name.c_str(), L"", 0);
    }
    SendMessageW(window, WM_TIMER, 0, 0);  // ten engines start; the rest wait
    per_tick[k] = Best(5, [&] { SendMessageW(window, WM_TIMER, 0, 0); });
    com::DeleteTree(HKEY_CURRENT_USER, settings::kSettingsKey);
  }
  std::printf("one tick (every row refreshed) with 100 tasks: %.2f ms; with 1000: %.2f ms; ratio %.1f (flat cost: 10)\n",
              per_tick[0], per_tick[1], per_tick[1] / per_tick[0]);
}

// The row refresh alone, as the tick runs it: every task paused (so starting it is at once
// refused) with a progress that changed since the last tick.
void RowRefresh() {
  testing_support::ComApartment apartment;
  testing_support::ScratchFolder files;
  const std::wstring file = files.WriteFile(L"f.dat", "data");
  double per_refresh[2] = {};
  const int sizes[2] = {100, 1000};
  for (int k = 0; k < 2; ++k) {
    HostedTestControl control;
    for (int i = 0; i < sizes[k]; ++i) {
      const std::wstring name = L"r" + std::to_wstring(i);
      if (control.Add(HostedTestControl::kAddItem, name.c_str(), L"127.0.0.1", 1, file, L"", name.c_str(), L"", 0))
        std::printf("task %d not queued\n", i);
    }
    CTaskQueue& queue = control.Object().Queue();
    HWND window = control.Host().ControlWindow();
    DWORD progress = 0;
    per_refresh[k] = Best(15, [&] {
      ++progress;
      for (size_t i = 0; i < queue.Size(); ++i) {
        queue.At(i).state = TASK_PAUSED;
        queue.At(i).progress = progress;
      }
      SendMessageW(window, WM_TIMER, 0, 0);
    });
  }
  std::printf("row refresh of every task with 100 tasks: %.2f ms; with 1000: %.2f ms; ratio %.1f (flat cost: 10)\n",
              per_refresh[0], per_refresh[1], per_refresh[1] / per_refresh[0]);
}

void Store() {
  std::vector<UploadTask> tasks(1000);
  for (size_t i = 0; i < tasks.size(); ++i) {
    tasks[i].state = TASK_QUEUED;
    tasks[i].title = L"task " + std::to_wstring(i);
    tasks[i].files.resize(3);
    for (UploadFile& f : tasks[i].files) f.local_path = L"C:\\some\\file.dat";
  }
  testing_support::ScratchFolder d;
  const std::wstring store = d / L"store.ini", plain = d / L"plain.bin";
  std::vector<BYTE> bytes = EncodeTaskStore(tasks);
  const double save = Best(5, [&] { ReplaceFileAtomically(store, EncodeTaskStore(tasks)); });
  const double write = Best(5, [&] {
    com::UniqueFile f(CreateFileW(plain.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    DWORD n = 0;
    WriteFile(f.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &n, nullptr);
    FlushFileBuffers(f.Get());
  });
  const double load = Best(5, [&] {
    std::vector<BYTE> read;
    std::vector<UploadTask> back;
    ReadWholeFile(store, &read);
    DecodeTaskStore(read, &back);
  });
  const double read = Best(5, [&] {
    std::vector<BYTE> in;
    ReadWholeFile(plain, &in);
  });
  std::printf("store of 1000 tasks x 3 entries (%.1f MiB): save %.1f ms vs plain write %.1f ms (ratio %.2f); "
              "load %.1f ms vs plain read %.1f ms (ratio %.2f)\n",
              static_cast<double>(bytes.size()) / (1 << 20), save, write, save / write, load, read, load / read);
}

}  // namespace

// With no argument every measurement runs; otherwise only those named ("folder", "ticks",
// "rows", "store").
int main(int argc, char** argv) {
  const auto wanted = [&](const char* name) {
    if (argc < 2) return true;
    for (int i = 1; i < argc; ++i)
      if (std::strcmp(argv[i], name) == 0) return true;
    return false;
  };
  if (wanted("folder")) FolderTask();
  if (wanted("ticks")) Ticks();
  if (wanted("rows")) RowRefresh();
  if (wanted("store")) Store();
  return 0;
}
