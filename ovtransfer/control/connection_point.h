// The control's one connection point, for its event interface. The event interface has no
// members, so sinks are only kept, never called.
#pragma once
#include <windows.h>
#include <ocidl.h>

#include <vector>

#include "../com/ptr.h"

class CEventConnectionPoint final : public IConnectionPoint {
 public:
  // owner is the container object; references on this point count on it.
  CEventConnectionPoint(IConnectionPointContainer* owner, REFIID events) : owner_(owner), events_(events) {}

  STDMETHODIMP QueryInterface(REFIID iid, void** out) override;
  STDMETHODIMP_(ULONG) AddRef() override { return owner_->AddRef(); }
  STDMETHODIMP_(ULONG) Release() override { return owner_->Release(); }

  STDMETHODIMP GetConnectionInterface(IID* iid) override;
  STDMETHODIMP GetConnectionPointContainer(IConnectionPointContainer** out) override;
  STDMETHODIMP Advise(IUnknown* sink, DWORD* cookie) override;
  STDMETHODIMP Unadvise(DWORD cookie) override;
  STDMETHODIMP EnumConnections(IEnumConnections** out) override;

  // Releases every sink (the control is going away).
  void DisconnectAll() { sinks_.clear(); }

 private:
  struct Sink {
    DWORD cookie;
    com::ComPtr<IUnknown> unknown;
  };

  IConnectionPointContainer* owner_;
  const IID& events_;
  std::vector<Sink> sinks_;
  DWORD next_cookie_ = 1;
};

// Enumerator of the container's connection points (just the one).
HRESULT CreateConnectionPointEnumerator(IConnectionPoint* point, IEnumConnectionPoints** out);
