// The one walk over a folder's entries.
#pragma once
#include <windows.h>

#include <string>

#include "unique.h"

namespace com {

// Calls visit(const WIN32_FIND_DATAW&) for each entry of folder whose name matches pattern,
// passing over "." and "..", until visit returns false. False when the folder cannot be listed
// (or nothing matches the pattern).
template <class Visit>
bool ForEachEntry(const std::wstring& folder, Visit&& visit, const wchar_t* pattern = L"*") {
  WIN32_FIND_DATAW found;
  UniqueFind search(FindFirstFileW((folder + L"\\" + pattern).c_str(), &found));
  if (!search) return false;
  do {
    if (wcscmp(found.cFileName, L".") == 0 || wcscmp(found.cFileName, L"..") == 0) continue;
    if (!visit(static_cast<const WIN32_FIND_DATAW&>(found))) break;
  } while (FindNextFileW(search.Get(), &found));
  return true;
}

}  // namespace com
