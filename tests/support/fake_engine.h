// A scripted transfer engine for tests: created through the engine's real class id (its
// factory is registered in the test's apartment), it records every call with its arguments
// and fails the calls a test names.
#pragma once
#include <winsock2.h>
#include <windows.h>

#include <set>
#include <string>
#include <vector>

#include "ovtransfer/com/ptr.h"
#include "ovtransfer/outside/transfer_engine.h"
#include "ovtransfer/queue/scheduler.h"

namespace testing_support {

struct EngineScript {
  std::vector<std::wstring> calls;   // every call of every engine, in order
  std::set<std::wstring> failing;    // names of calls that fail ("Connect", "StartTransfer", ...)
  bool fail_creation = false;
  ULONGLONG bytes = 0;               // what GetBytesTransferred reports
  bool bytes_fail = false;
  int live = 0;                      // engines not yet released
  HWND window = nullptr;             // as given to SetNotifyWindow
};

// Registers the engine factory for the lifetime of the object.
class FakeEngineRegistration {
 public:
  explicit FakeEngineRegistration(EngineScript& script);
  ~FakeEngineRegistration();

 private:
  DWORD cookie_ = 0;
};

// Makes the same engines directly, for a scheduler driven without the registry.
class FakeEngineFactory final : public IEngineFactory {
 public:
  explicit FakeEngineFactory(EngineScript& script) : script_(script) {}
  HRESULT CreateEngine(com::ComPtr<ITransferEngine>* engine) override;

 private:
  EngineScript& script_;
};

// Calls whose text starts with name.
int CountCalls(const EngineScript& script, const std::wstring& name);

}  // namespace testing_support
