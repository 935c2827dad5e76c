#include "registry.h"

#include "unique.h"
#include "result.h"
#include "status.h"

namespace com {

std::wstring Substitute(const std::wstring& text, const Replacements& replacements) {
  std::wstring out;
  for (size_t i = 0; i < text.size();) {
    size_t end = text[i] == L'%' ? text.find(L'%', i + 1) : std::wstring::npos;
    if (end == std::wstring::npos) {
      out += text[i++];
      continue;
    }
    std::wstring name = text.substr(i + 1, end - i - 1);
    bool replaced = name.empty();
    if (replaced) out += L'%';
    for (const auto& [key, value] : replacements)
      if (!replaced && key == name) {
        out += value;
        replaced = true;
      }
    if (!replaced) out += text.substr(i, end - i + 1);
    i = end + 1;
  }
  return out;
}

HRESULT WriteEntries(HKEY root, const std::vector<RegEntry>& entries, const Replacements& replacements) {
  for (const RegEntry& e : entries) {
    UniqueHKey key;
    LONG rc = RegCreateKeyExW(root, Substitute(e.key, replacements).c_str(), 0, nullptr, 0, KEY_WRITE, nullptr,
                              key.Receive(), nullptr);
    if (rc != ERROR_SUCCESS) return StatusFromError(rc);
    if (!e.data) continue;
    std::wstring data = Substitute(e.data, replacements);
    rc = RegSetValueExW(key.Get(), e.name, 0, REG_SZ, reinterpret_cast<const BYTE*>(data.c_str()),
                        static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t)));
    if (rc != ERROR_SUCCESS) return StatusFromError(rc);
  }
  return S_OK;
}

HRESULT DeleteTree(HKEY root, const std::wstring& key) {
  LONG rc = RegDeleteTreeW(root, key.c_str());
  if (rc == ERROR_FILE_NOT_FOUND) return S_OK;
  if (rc != ERROR_SUCCESS) return StatusFromError(rc);
  rc = RegDeleteKeyW(root, key.c_str());  // RegDeleteTree leaves the key itself
  return (rc == ERROR_SUCCESS || rc == ERROR_FILE_NOT_FOUND) ? S_OK : StatusFromError(rc);
}

std::wstring ModulePath(HMODULE module) {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    DWORD n = GetModuleFileNameW(module, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0) return std::wstring();
    if (n < path.size()) {
      path.resize(n);
      return path;
    }
    path.resize(path.size() * 2);
  }
}

std::wstring GuidString(REFGUID guid) {
  wchar_t text[40] = {};
  StringFromGUID2(guid, text, 40);
  return text;
}

HRESULT RegisterInprocClass(REFCLSID clsid, const wchar_t* description, HMODULE module) {
  std::wstring key = L"CLSID\\" + GuidString(clsid);
  RETURN_IF_FAILED(DeleteTree(HKEY_CLASSES_ROOT, key));
  return WriteEntries(HKEY_CLASSES_ROOT,
                      {{L"%KEY%", nullptr, description},
                       {L"%KEY%\\InprocServer32", nullptr, L"%MODULE%"},
                       {L"%KEY%\\InprocServer32", L"ThreadingModel", L"Apartment"}},
                      {{L"KEY", key}, {L"MODULE", ModulePath(module)}});
}

HRESULT UnregisterInprocClass(REFCLSID clsid) {
  return DeleteTree(HKEY_CLASSES_ROOT, L"CLSID\\" + GuidString(clsid));
}

}  // namespace com
