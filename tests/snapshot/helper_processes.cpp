#include "helper_processes.h"

#include <windows.h>
#include <tlhelp32.h>

#include "media_files.h"
#include "ovtransfer/com/text.h"
#include "ovtransfer/com/unique.h"
#include "support/com_apartment.h"

namespace snapshot_tests {

int ChildProcesses(const wchar_t* program_name) {
  com::UniqueFile snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot) return -1;
  int found = 0;
  PROCESSENTRY32W entry = {};
  entry.dwSize = sizeof(entry);
  for (BOOL more = Process32FirstW(snapshot.Get(), &entry); more; more = Process32NextW(snapshot.Get(), &entry))
    if (entry.th32ParentProcessID == GetCurrentProcessId() && com::SameText(entry.szExeFile, program_name)) ++found;
  return found;
}

std::wstring FakeHelperPath() { return testing_support::ProgramFolder() + L"\\fake_probe.exe"; }

std::string TruncatedAvi() { return AviBytes(64, 48, 10, 10, RGB(200, 0, 0), RGB(0, 0, 200)).substr(0, 100); }

}  // namespace snapshot_tests
