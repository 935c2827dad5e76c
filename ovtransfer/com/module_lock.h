// The lock count of the COM server this code is linked into: live objects, server locks
// and running threads keep it above zero, and DllCanUnloadNow answers from it.
#pragma once
#include <windows.h>
#include <functional>

namespace com {

void LockModule();
void UnlockModule();
LONG ModuleLockCount();

// The module that holds this code: what the DLL's entry point stored, or else the module
// found from this code's address (a test program that links the code statically).
HMODULE ThisModule();
void SetThisModule(HMODULE module);

// Starts a detached thread that keeps the module loaded until its last instruction:
// it counts in the lock count while it runs and holds a loader reference that it drops
// with FreeLibraryAndExitThread, so no code of the module runs after the module could go.
// Returns false (and runs nothing) when the thread cannot be created.
bool StartModuleThread(std::function<void()> body);

}  // namespace com
