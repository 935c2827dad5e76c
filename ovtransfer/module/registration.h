// What the component writes into HKEY_CLASSES_ROOT when it is registered, and removes again.
#pragma once
#include <windows.h>

namespace registration {

// Application id entries, then the class entries and its categories, then the type library
// from the module's own file. The first failure ends it and is returned.
HRESULT RegisterServer(HMODULE module);
// The reverse: categories, class entries, type library, application id entries.
HRESULT UnregisterServer(HMODULE module);

}  // namespace registration
