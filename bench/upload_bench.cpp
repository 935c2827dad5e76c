// Many small uploads against the same bytes in one upload, through the whole control, its
// engines and the receiver on loopback, measured side by side in one run.
#include <winsock2.h>
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "host/hosted_control.h"
#include "ovtransfer/com/registry.h"
#include "ovtransfer/control/settings.h"
#include "support/hosted_test_control.h"
#include "support/receiver_process.h"
#include "support/scratch_folder.h"
#include "ui/resource_ids.h"

namespace {

using Clock = std::chrono::steady_clock;
using testing_support::HostedTestControl;

constexpr int kFiles = 200;
constexpr size_t kFileSize = 64 * 1024;

// Seconds from queueing until every task is done; -1 if they did not finish.
double Upload(testing_support::ReceiverProcess& receiver, const testing_support::ScratchFolder& files,
              bool one_task) {
  HostedTestControl control;
  control.Script()->Open(com::Bstr(L"bench").Get(), com::Bstr(L"alice").Get(), com::Bstr(L"secret").Get());
  control.Script()->put_UploadRate(0);
  control.Choose(IDC_COUNT_COMBO, 5);  // "10"
  const std::wstring prefix = one_task ? L"one" : L"many";
  const auto start = Clock::now();
  if (one_task) {
    const std::wstring remote = prefix + L"/cover", folder_remote = prefix + L"/files";
    control.Add(HostedTestControl::kAddItem, L"all", L"127.0.0.1", receiver.Port(), files / L"cover", files / L"files",
                remote.c_str(), folder_remote.c_str(), STYLE_FOLDER);
  } else {
    for (int i = 0; i < kFiles; ++i) {
      const std::wstring name = L"f" + std::to_wstring(i), remote = prefix + L"/" + name;
      control.Add(HostedTestControl::kAddItem, name.c_str(), L"127.0.0.1", receiver.Port(),
                  files / (L"files\\" + name), L"", remote.c_str(), L"", 0);
    }
  }
  const bool done = host::PumpMessagesUntil([&] { return control.AllTasksDone(); }, 300000);
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  control.Script()->Close();
  return done ? seconds : -1;
}

}  // namespace

int main() {
  testing_support::ComApartment apartment;
  testing_support::ReceiverProcess receiver;
  if (!receiver.Start()) {
    std::printf("receiver did not start: %s\n", receiver.Error().c_str());
    return 1;
  }
  testing_support::ScratchFolder files;
  files.MakeFolder(L"files");
  files.WriteFile(L"cover", "c");
  const std::string bytes(kFileSize, 'x');
  for (int i = 0; i < kFiles; ++i) files.WriteFile(L"files\\f" + std::to_wstring(i), bytes);

  const double many = Upload(receiver, files, false);
  const double one = Upload(receiver, files, true);
  std::printf("%d tasks of %zu KiB with MaxTaskCount 10: %.2f s; the same files as one folder task: %.2f s; "
              "ratio %.1f\n",
              kFiles, kFileSize / 1024, many, one, one > 0 ? many / one : 0.0);
  com::DeleteTree(HKEY_CURRENT_USER, settings::kSettingsKey);
  return many > 0 && one > 0 ? 0 : 1;
}
