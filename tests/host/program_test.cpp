// ovhost.exe as a site's tester runs it: a page file in, the script's lines on stdout,
// errors on stderr, the page's answer as the exit code.
#include <gtest/gtest.h>

#include <string>

#include "ovtransfer/com/unique.h"
#include "support/com_apartment.h"

namespace {

struct Result {
  DWORD code = 0xFFFFFFFF;
  std::string out, err;
};

std::string Drain(HANDLE pipe) {
  std::string all;
  char buf[4096];
  DWORD n = 0;
  while (ReadFile(pipe, buf, sizeof(buf), &n, nullptr) && n) all.append(buf, n);
  return all;
}

// Runs ovhost.exe with args; stdout and stderr go to files so neither pipe can fill and block.
Result RunHost(const std::wstring& args) {
  Result r;
  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  std::wstring out_path = std::wstring(temp) + L"ovhost_test_out.txt";
  std::wstring err_path = std::wstring(temp) + L"ovhost_test_err.txt";
  SECURITY_ATTRIBUTES sa = {sizeof(sa), nullptr, TRUE};
  com::UniqueFile out(CreateFileW(out_path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  &sa, CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY, nullptr));
  com::UniqueFile err(CreateFileW(err_path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  &sa, CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY, nullptr));
  STARTUPINFOW si = {};
  si.cb = sizeof(si);
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  si.hStdOutput = out.Get();
  si.hStdError = err.Get();
  std::wstring exe = testing_support::ProgramFolder() + L"\\ovhost.exe";
  std::wstring line = L"\"" + exe + L"\" " + args;
  PROCESS_INFORMATION pi = {};
  if (CreateProcessW(exe.c_str(), line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi)) {
    if (WaitForSingleObject(pi.hProcess, 60000) == WAIT_TIMEOUT) TerminateProcess(pi.hProcess, 999);
    GetExitCodeProcess(pi.hProcess, &r.code);
    com::UniqueHandle thread(pi.hThread), process(pi.hProcess);
  }
  SetFilePointer(out.Get(), 0, nullptr, FILE_BEGIN);
  SetFilePointer(err.Get(), 0, nullptr, FILE_BEGIN);
  r.out = Drain(out.Get());
  r.err = Drain(err.Get());
  out.Reset();
  err.Reset();
  DeleteFileW(out_path.c_str());
  DeleteFileW(err_path.c_str());
  return r;
}

std::wstring WritePage(const wchar_t* name, const std::string& utf8) {
  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  std::wstring path = std::wstring(temp) + name;
  com::UniqueFile f(
      CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  DWORD n = 0;
  WriteFile(f.Get(), utf8.data(), static_cast<DWORD>(utf8.size()), &n, nullptr);
  return path;
}

std::wstring Quoted(const std::wstring& p) { return L"\"" + p + L"\""; }

TEST(Program, PrintsEchoLinesAndExitsWithTheQuitCode) {
  std::wstring page = WritePage(L"ovhost_quit.html",
                                "<script>host.echo('hello \xE6\x8E\x92\xE9\x98\x9F'); host.quit(42);</script>");
  Result r = RunHost(Quoted(page));
  EXPECT_EQ(r.code, 42u) << r.err;
  EXPECT_EQ(r.out, "hello \xE6\x8E\x92\xE9\x98\x9F\n");  // UTF-8 to a file or pipe
  DeleteFileW(page.c_str());
}

TEST(Program, ScriptErrorsGoToStderrWithTheirLine) {
  std::wstring page = WritePage(L"ovhost_error.html", "<html>\n<script>\nhost.echo('a');\nmissing.call();\n</script>\n");
  Result r = RunHost(Quoted(page));
  EXPECT_EQ(r.code, 1u);
  EXPECT_EQ(r.out, "a\n");
  EXPECT_NE(r.err.find("ovhost_error.html(4,"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("script error"), std::string::npos) << r.err;
  DeleteFileW(page.c_str());
}

TEST(Program, BadCommandLinesAndMissingPagesAreRefused) {
  Result none = RunHost(L"");
  EXPECT_EQ(none.code, 2u);
  EXPECT_NE(none.err.find("usage"), std::string::npos);
  Result missing = RunHost(L"C:\\no\\such\\page.html");
  EXPECT_EQ(missing.code, 2u);
  EXPECT_NE(missing.err.find("cannot open"), std::string::npos) << missing.err;
}

// The page a site deploys, against the registered control.
TEST(Program, RunsTheExampleUploadPage) {
  std::wstring folder = L"Z:" OVHOST_EXAMPLES_DIR;
  for (auto& c : folder)
    if (c == L'/') c = L'\\';
  Result r = RunHost(Quoted(folder + L"\\upload.html"));
  EXPECT_EQ(r.code, 0u) << r.out << r.err;
  EXPECT_NE(r.out.find("DatabaseGUID"), std::string::npos) << r.out;
  EXPECT_EQ(r.err.find("script error"), std::string::npos) << r.err;
}

}  // namespace
