// Writes and removes registration entries from tables, with %NAME% replacements.
#pragma once
#include <windows.h>

#include <string>
#include <utility>
#include <vector>

namespace com {

// One registry entry. name nullptr is the key's default value; data nullptr writes the key only.
struct RegEntry {
  const wchar_t* key;
  const wchar_t* name;
  const wchar_t* data;
};

using Replacements = std::vector<std::pair<std::wstring, std::wstring>>;

// Replaces every %NAME% of text by its value; "%%" stands for one "%".
std::wstring Substitute(const std::wstring& text, const Replacements& replacements);

// Writes each entry as REG_SZ under root; the first failure is returned.
HRESULT WriteEntries(HKEY root, const std::vector<RegEntry>& entries, const Replacements& replacements);

// Removes key and everything below it; a key that is already absent is no failure.
HRESULT DeleteTree(HKEY root, const std::wstring& key);

// The full path of a module, as the loader reports it.
std::wstring ModulePath(HMODULE module);

// Registers the one in-process class of a companion component (class key with
// InprocServer32 and ThreadingModel "Apartment").
HRESULT RegisterInprocClass(REFCLSID clsid, const wchar_t* description, HMODULE module);
HRESULT UnregisterInprocClass(REFCLSID clsid);

std::wstring GuidString(REFGUID guid);

}  // namespace com
