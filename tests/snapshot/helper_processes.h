// The media helpers a test program has started, and a stand-in helper that misbehaves.
#pragma once
#include <string>

namespace snapshot_tests {

// How many processes of this program named program_name (for example "ovprobe.exe") are
// still there.
int ChildProcesses(const wchar_t* program_name);

// The stand-in helper fake_probe.exe beside the test program. What it does depends on the
// name of the media file it is asked about (see fake_probe.cpp).
std::wstring FakeHelperPath();

// The first 100 bytes of a real AVI file: its headers cut off in the middle.
std::string TruncatedAvi();

}  // namespace snapshot_tests
