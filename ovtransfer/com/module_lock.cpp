#include "module_lock.h"

#include <memory>

#include "unique.h"

namespace com {
namespace {

LONG g_locks = 0;
HMODULE g_this_module = nullptr;

struct ThreadStart {
  std::function<void()> body;
  HMODULE pin;
};

DWORD WINAPI RunModuleThread(void* arg) {
  std::unique_ptr<ThreadStart> start(static_cast<ThreadStart*>(arg));
  HMODULE pin = start->pin;
  start->body();
  start.reset();
  UnlockModule();
  FreeLibraryAndExitThread(pin, 0);
}

}  // namespace

void LockModule() { InterlockedIncrement(&g_locks); }
void UnlockModule() { InterlockedDecrement(&g_locks); }
LONG ModuleLockCount() { return InterlockedCompareExchange(&g_locks, 0, 0); }

void SetThisModule(HMODULE module) { g_this_module = module; }

HMODULE ThisModule() {
  if (g_this_module) return g_this_module;
  HMODULE module = nullptr;
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     reinterpret_cast<LPCWSTR>(&ThisModule), &module);
  return module;
}

bool StartModuleThread(std::function<void()> body) {
  HMODULE pin = nullptr;
  if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&RunModuleThread),
                          &pin))
    return false;
  auto start = std::make_unique<ThreadStart>(ThreadStart{std::move(body), pin});
  LockModule();
  UniqueHandle thread(CreateThread(nullptr, 0, RunModuleThread, start.get(), 0, nullptr));
  if (!thread) {
    UnlockModule();
    FreeLibrary(pin);
    return false;
  }
  start.release();  // the thread owns it now
  return true;
}

}  // namespace com
