// Pages run end to end in this process: script with named items and the host object, exit
// codes, error reports, and the browser's safety rule for objects.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake_control.h"
#include "ovtransfer/com/unique.h"
#include "page_host.h"
#include "script_host.h"
#include "support/com_apartment.h"

namespace {

const wchar_t kFakeObject[] =
    L"<object classid=\"clsid:5B0C2A61-7E39-4C55-9A1D-3F08E6C4B7A2\" id=\"fake\" width=200 height=100>\n"
    L"  <param name=\"label\" value=\"from the page\"><param name=\"Rate\" value=\"42\">\n"
    L"</object>\n";

class PageRun : public ::testing::Test {
 protected:
  int Run(const std::wstring& html) {
    host::PageOptions o;
    o.visible = false;
    o.out = [this](const std::wstring& s) { out.push_back(s); };
    o.err = [this](const std::wstring& s) { err.push_back(s); };
    return host::RunPageText(html, L"", L"page.html", o);
  }
  std::wstring Errors() const {
    std::wstring all;
    for (const auto& e : err) all += e + L"\n";
    return all;
  }
  testing_support::ComApartment apartment_;
  std::vector<std::wstring> out, err;
};

TEST_F(PageRun, EchoPrintsValuesAsScriptWritesThem) {
  EXPECT_EQ(Run(L"<script>host.echo('a', 1 + 1, true, null, undefined, 2.5); host.echo();"
                L"host.echo('\x6392\x961F');</script>"),
            0);
  EXPECT_EQ(out, (std::vector<std::wstring>{L"a 2 true null undefined 2.5", L"", L"\x6392\x961F"}));
  EXPECT_TRUE(err.empty()) << Errors();
}

TEST_F(PageRun, QuitEndsThePageWithItsCode) {
  EXPECT_EQ(Run(L"<script>host.echo('one'); host.quit(7); host.echo('not run');</script>"
                L"<script>host.echo('later block not run');</script>"),
            7);
  EXPECT_EQ(out, std::vector<std::wstring>{L"one"});
  EXPECT_TRUE(err.empty()) << Errors();
}

TEST_F(PageRun, AQuitInsideTryIsNotUndoneByTheCatch) {
  EXPECT_EQ(Run(L"<script>try { host.quit(0); } catch (e) { host.echo('failed'); host.quit(1); }</script>"), 0);
  EXPECT_TRUE(out.empty());
  EXPECT_TRUE(err.empty()) << Errors();
  EXPECT_EQ(Run(L"<script>host.quit(-3)</script>"), -3);
  EXPECT_EQ(Run(L"<script>host.quit()</script>"), 0);
}

TEST_F(PageRun, EndsWithZeroWithoutQuit) {
  EXPECT_EQ(Run(L"<html><body><p>no script</p></body></html>"), 0);
  EXPECT_EQ(Run(L"<script>var x = 1;</script>"), 0);
}

TEST_F(PageRun, ScriptErrorsNamePageLinesAndFailThePage) {
  EXPECT_EQ(Run(L"<html>\n<body>\n<script>\nhost.echo('before');\nnoSuchThing();\n</script>\n"
                L"<script>host.echo('next block still runs')</script>"),
            host::kExitScriptError);
  EXPECT_EQ(out, (std::vector<std::wstring>{L"before", L"next block still runs"}));
  ASSERT_EQ(err.size(), 1u) << Errors();
  EXPECT_EQ(err[0].rfind(L"page.html(5,", 0), 0u) << err[0];
  EXPECT_NE(err[0].find(L"noSuchThing"), std::wstring::npos) << err[0];
}

TEST_F(PageRun, SyntaxErrorsAndThrownValuesAreReported) {
  EXPECT_EQ(Run(L"<script>\nvar = ;\n</script>"), host::kExitScriptError);
  ASSERT_EQ(err.size(), 1u);
  EXPECT_EQ(err[0].rfind(L"page.html(2,", 0), 0u) << err[0];
  err.clear();
  EXPECT_EQ(Run(L"<script>throw new Error('custom failure');</script>"), host::kExitScriptError);
  ASSERT_EQ(err.size(), 1u);
  EXPECT_NE(err[0].find(L"custom failure"), std::wstring::npos) << err[0];
}

TEST_F(PageRun, AnErrorBeforeAQuitWithACodeKeepsThatCode) {
  EXPECT_EQ(Run(L"<script>bad();</script><script>host.quit(5)</script>"), 5);
  EXPECT_EQ(err.size(), 1u);
}

int ticks = 0;
// A timer procedure has the system's calling convention, which a lambda lacks in 32-bit builds.
void CALLBACK CountTick(HWND, UINT, UINT_PTR, DWORD) { ++ticks; }

TEST_F(PageRun, SleepKeepsMessagesFlowing) {
  ticks = 0;
  UINT_PTR timer = SetTimer(nullptr, 0, 20, CountTick);
  DWORD start = GetTickCount();
  EXPECT_EQ(Run(L"<script>host.sleep(300); host.sleep(-5); host.sleep('x' / 1);</script>"), 0) << Errors();
  DWORD elapsed = GetTickCount() - start;
  KillTimer(nullptr, timer);
  EXPECT_GE(elapsed, 280u);
  EXPECT_LT(elapsed, 3000u);
  EXPECT_GE(ticks, 3);
}

TEST_F(PageRun, ObjectsAreNamedItemsLoadedFromTheirParams) {
  fake::Registration reg({fake::Safety::kAgrees, true});
  EXPECT_EQ(Run(std::wstring(kFakeObject) +
                L"<script>host.echo(fake.Label); host.echo(fake.Rate + 1); host.echo(fake.twice(21));</script>"),
            0)
      << Errors();
  EXPECT_EQ(out, (std::vector<std::wstring>{L"from the page", L"43", L"42"}));
  // It has no window of its own: the page says so and runs on.
  ASSERT_EQ(err.size(), 1u);
  EXPECT_NE(err[0].find(L"warning"), std::wstring::npos) << err[0];
}

TEST_F(PageRun, AClassNotMarkedSafeIsRefused) {
  fake::Registration reg({fake::Safety::kNone, true});  // no IObjectSafety, no categories
  EXPECT_EQ(Run(std::wstring(kFakeObject) + L"<script>host.echo('ran');</script>"), host::kExitObject);
  EXPECT_TRUE(out.empty());
  ASSERT_EQ(err.size(), 1u);
  EXPECT_NE(err[0].find(L"refused"), std::wstring::npos) << err[0];
  EXPECT_NE(err[0].find(L"not marked safe for scripting"), std::wstring::npos) << err[0];
}

TEST_F(PageRun, AnObjectThatDeclinesSafetyIsRefused) {
  fake::Registration reg({fake::Safety::kRefuses, true});
  EXPECT_EQ(Run(std::wstring(kFakeObject) + L"<script>host.echo('ran');</script>"), host::kExitObject);
  EXPECT_TRUE(out.empty());
  ASSERT_EQ(err.size(), 1u);
  EXPECT_NE(err[0].find(L"does not agree to be safe"), std::wstring::npos) << err[0];
}

TEST_F(PageRun, ParamsForAnObjectThatCannotTakeThemFailThePage) {
  fake::Registration reg({fake::Safety::kAgrees, false});
  EXPECT_EQ(Run(std::wstring(kFakeObject) + L"<script>host.echo('ran');</script>"), host::kExitObject);
  EXPECT_TRUE(out.empty());
  ASSERT_FALSE(err.empty());
  EXPECT_NE(err[0].find(L"PARAM"), std::wstring::npos) << err[0];
}

TEST_F(PageRun, UnknownClassesAndTakenIdsFailThePage) {
  EXPECT_EQ(Run(L"<object classid=\"clsid:00000000-1111-2222-3333-444444444444\" id=x></object>"),
            host::kExitObject);
  ASSERT_EQ(err.size(), 1u);
  EXPECT_NE(err[0].find(L"cannot create class"), std::wstring::npos) << err[0];
  fake::Registration reg({fake::Safety::kAgrees, true});
  err.clear();
  EXPECT_EQ(Run(L"<object classid=\"clsid:5B0C2A61-7E39-4C55-9A1D-3F08E6C4B7A2\" id=host></object>"),
            host::kExitObject);
  err.clear();
  EXPECT_EQ(Run(std::wstring(kFakeObject) + kFakeObject), host::kExitObject);
  EXPECT_NE(Errors().find(L"second object"), std::wstring::npos) << Errors();
}

TEST_F(PageRun, ScriptFilesAreReadBesideThePage) {
  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  std::wstring file = std::wstring(temp) + L"ovhost_lib_test.js";
  {
    com::UniqueFile f(
        CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    const char code[] = "function greet(n) { return 'hi ' + n; }";
    DWORD n = 0;
    WriteFile(f.Get(), code, sizeof(code) - 1, &n, nullptr);
  }
  host::PageOptions o;
  o.visible = false;
  o.out = [this](const std::wstring& s) { out.push_back(s); };
  o.err = [this](const std::wstring& s) { err.push_back(s); };
  EXPECT_EQ(host::RunPageText(L"<script src=\"ovhost_lib_test.js\"></script><script>host.echo(greet(1))</script>",
                              temp, L"page.html", o),
            0)
      << Errors();
  EXPECT_EQ(out, std::vector<std::wstring>{L"hi 1"});
  DeleteFileW(file.c_str());
  EXPECT_EQ(host::RunPageText(L"<script src=\"ovhost_lib_test.js\"></script>", temp, L"page.html", o),
            host::kExitScriptError);
  EXPECT_NE(Errors().find(L"cannot open"), std::wstring::npos) << Errors();
}

TEST(ScriptHost, NamedItemsAreTheObjectsGiven) {
  testing_support::ComApartment apartment;
  fake::Registration reg({fake::Safety::kAgrees, true});
  com::ComPtr<IUnknown> object;
  ASSERT_EQ(CoCreateInstance(fake::kClsid, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, object.ReceiveVoid()), S_OK);
  std::vector<std::wstring> lines;
  host::ScriptHost script({[&](const std::wstring& s) { lines.push_back(s); }, nullptr}, L"test");
  ASSERT_EQ(script.Start(), S_OK);
  EXPECT_EQ(script.AddObject(L"first", object.Get()), S_OK);
  EXPECT_EQ(script.AddObject(L"first", object.Get()), E_INVALIDARG);
  EXPECT_EQ(script.AddObject(L"host", object.Get()), E_INVALIDARG);
  EXPECT_TRUE(script.Run(L"host.echo(first.twice(4), typeof first)"));
  EXPECT_FALSE(script.Run(L"First.twice(1)"));  // names are as case-sensitive as JScript
  EXPECT_EQ(script.ErrorCount(), 1);
  EXPECT_EQ(lines, std::vector<std::wstring>{L"8 object"});
  script.Close();
  script.Close();
}

}  // namespace
