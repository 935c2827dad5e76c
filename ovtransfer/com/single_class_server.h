// The exports of a module that serves one class (DllMain, DllCanUnloadNow, DllGetClassObject,
// DllRegisterServer, DllUnregisterServer), which such a module links with inproc_server.def.
// The module names its class with one SingleClassServer object; making that object links the
// exports in from ovcom.
#pragma once
#include <windows.h>

#include "factory.h"

namespace com {

class SingleClassServer {
 public:
  // description: the class key's default value. One per module.
  SingleClassServer(const CLSID& clsid, const wchar_t* description, CreateFunction create);
};

}  // namespace com
