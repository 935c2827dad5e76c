#include "page_host.h"

#include <memory>
#include <vector>

#include "hosted_control.h"
#include "ovtransfer/com/text.h"
#include "ovtransfer/com/unique.h"
#include "html_page.h"
#include "script_host.h"

namespace host {
namespace {

std::wstring SystemMessage(DWORD code) {
  wchar_t* text = nullptr;
  FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                 code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::wstring s = text ? text : L"";
  if (text) LocalFree(text);
  while (!s.empty() && (s.back() == L'\n' || s.back() == L'\r' || s.back() == L' ' || s.back() == L'.')) s.pop_back();
  return s.empty() ? L"error " + std::to_wstring(code) : s;
}

std::wstring FolderOf(const std::wstring& path) {
  size_t slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash + 1);
}

std::wstring FileNameOf(const std::wstring& path) {
  size_t slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

bool IsAbsolute(const std::wstring& p) {
  return (p.size() > 1 && p[1] == L':') || (!p.empty() && (p[0] == L'\\' || p[0] == L'/'));
}

}  // namespace

bool ReadFileBytes(const std::wstring& path, std::string* bytes, std::wstring* error) {
  com::UniqueFile file(
      CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) {
    *error = L"cannot open " + path + L": " + SystemMessage(GetLastError());
    return false;
  }
  LARGE_INTEGER size = {};
  bool ok = GetFileSizeEx(file.Get(), &size) != 0;
  if (ok && size.QuadPart > 64 * 1024 * 1024) {
    *error = path + L" is too large for a page";
    return false;
  }
  bytes->assign(ok ? static_cast<size_t>(size.QuadPart) : 0, '\0');
  DWORD done = 0;
  if (ok && !bytes->empty())
    ok = ReadFile(file.Get(), bytes->data(), static_cast<DWORD>(bytes->size()), &done, nullptr) != 0;
  DWORD last = GetLastError();
  if (!ok || done != bytes->size()) {
    *error = L"cannot read " + path + L": " + SystemMessage(ok ? ERROR_HANDLE_EOF : last);
    return false;
  }
  return true;
}

int RunPageFile(const std::wstring& path, const PageOptions& options) {
  std::string bytes;
  std::wstring error;
  if (!ReadFileBytes(path, &bytes, &error)) {
    if (options.err) options.err(L"ovhost: " + error);
    return kExitUsage;
  }
  return RunPageText(DecodePageBytes(bytes), FolderOf(path), FileNameOf(path), options);
}

int RunPageText(const std::wstring& html, const std::wstring& base_folder, const std::wstring& source_name,
                const PageOptions& options) {
  auto err = [&](const std::wstring& s) {
    if (options.err) options.err(s);
  };
  Page page = ParsePage(html);
  for (const auto& s : page.skipped)
    err(L"ovhost: note: " + source_name + L"(" + std::to_wstring(s.line) + L"): script block for \"" + s.language +
        L"\" not run");

  // The objects first: the scripts of a loaded page find them all in place.
  std::vector<std::unique_ptr<HostedControl>> controls;
  std::vector<std::wstring> names;
  for (const auto& object : page.objects) {
    std::wstring where = source_name + L"(" + std::to_wstring(object.line) + L")";
    if (!object.clsid) {
      err(L"ovhost: warning: " + where + L": <object> without a class id (\"" + object.classid + L"\") skipped");
      continue;
    }
    if (object.id == L"host") {
      err(L"ovhost: " + where + L": the object id \"host\" is taken by the page host");
      return kExitObject;
    }
    for (const auto& n : names)
      if (!object.id.empty() && n == object.id) {
        err(L"ovhost: " + where + L": a second object with the id \"" + object.id + L"\"");
        return kExitObject;
      }
    ControlOptions co;
    co.params = object.params;
    co.width = object.width.value_or(0);
    co.height = object.height.value_or(0);
    co.visible = options.visible;
    co.name = object.id;
    if (page.background) co.back_color = *page.background;
    auto control = std::make_unique<HostedControl>();
    HRESULT hr = control->Create(*object.clsid, co);
    if (FAILED(hr)) {
      err(L"ovhost: " + where + L": object \"" + object.id + L"\": " + control->Error());
      return kExitObject;
    }
    hr = control->Activate();
    if (FAILED(hr))  // as in a browser, the object's scripting interface is still there
      err(L"ovhost: warning: " + where + L": object \"" + object.id + L"\" not shown: " + control->Error());
    names.push_back(object.id);
    controls.push_back(std::move(control));
  }

  ScriptHost script({options.out, options.err}, source_name);
  auto closed = [&] {
    for (const auto& c : controls)
      if (c->FrameClosed()) return true;
    return false;
  };
  script.SetAbort(closed);
  int code = 0;
  if (!page.scripts.empty()) {
    HRESULT hr = script.Start();
    if (FAILED(hr)) {
      err(L"ovhost: cannot start the JScript engine (" + com::StatusText(hr) + L")");
      return kExitScriptError;
    }
    for (size_t i = 0; i < controls.size(); ++i)
      if (!names[i].empty()) script.AddObject(names[i], controls[i]->Unknown());
    for (const auto& block : page.scripts) {
      if (script.QuitRequested() || closed()) break;
      if (!block.src.empty()) {
        std::wstring path = IsAbsolute(block.src) ? block.src : base_folder + block.src;
        std::string bytes;
        std::wstring error;
        if (!ReadFileBytes(path, &bytes, &error)) {
          err(L"ovhost: " + source_name + L"(" + std::to_wstring(block.first_line) + L"): " + error);
          script.Close();
          return kExitScriptError;
        }
        script.Run(DecodePageBytes(bytes), 1);
      } else {
        script.Run(block.text, block.first_line);
      }
    }
    code = script.ExitCode();
    if (closed()) err(L"ovhost: the page window was closed");
  }
  script.Close();
  controls.clear();  // each control is deactivated and released with its window
  return code;
}

}  // namespace host
