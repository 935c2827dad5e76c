// The browser's rule for controls on a page: a class is used only when it is marked safe
// for scripting and for initialising from page data.
#pragma once
#include <windows.h>

#include <string>

namespace host {

struct SafetyVerdict {
  bool safe = false;
  std::wstring reason;  // why not, for the user
};

// Asks the object first when it offers IObjectSafety (it then decides); otherwise the class
// must carry both safe categories in the registry.
SafetyVerdict CheckSafety(REFCLSID clsid, IUnknown* object);

}  // namespace host
