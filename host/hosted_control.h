// One ActiveX control hosted the way a browser hosts an <object>: created by class id,
// checked for safety, initialised from the page's PARAMs, then in-place activated in a
// top-level window of its own (the "page" area) at the size the page gives.
#pragma once
#include <windows.h>
#include <ole2.h>

#include <functional>
#include <string>
#include <vector>

#include "html_page.h"
#include "ovtransfer/com/ptr.h"

namespace host {

class CSite;

struct ControlOptions {
  std::vector<PageParam> params;
  int width = 0;   // pixels of the control's area; 0 takes the control's own extent
  int height = 0;
  bool visible = false;                     // show the window (tests run hidden)
  COLORREF back_color = RGB(255, 255, 255); // the ambient background colour
  std::wstring name;                        // ambient display name, window title
  bool check_safety = true;
};

class HostedControl {
 public:
  HostedControl();
  ~HostedControl();
  HostedControl(const HostedControl&) = delete;
  HostedControl& operator=(const HostedControl&) = delete;

  // Creates the object, checks that it is safe for a page and loads its PARAMs.
  // On failure nothing is kept and Error() says why.
  HRESULT Create(REFCLSID clsid, const ControlOptions& options);
  // Makes the frame window and in-place activates the control in it.
  HRESULT Activate();
  // Create and Activate.
  HRESULT Start(REFCLSID clsid, const ControlOptions& options);

  // A new ambient background colour: the frame repaints and the control is told.
  void SetBackColor(COLORREF color);
  COLORREF BackColor() const { return options_.back_color; }

  IUnknown* Unknown() const { return object_.Get(); }
  HWND ControlWindow() const { return control_window_; }
  HWND FrameWindow() const { return frame_; }
  bool Active() const { return static_cast<bool>(in_place_); }
  // The user closed the frame window.
  bool FrameClosed() const { return frame_closed_; }
  const std::wstring& Error() const { return error_; }

  // Deactivates, closes and releases the control and destroys the frame. Safe to repeat.
  void Close();

  // Called by the site and the frame window.
  void OnPosRectChange(const RECT& rect);
  void OnActiveObject(IOleInPlaceActiveObject* active) { active_ = active; }
  bool TranslateAccelerator(MSG* msg);

 private:
  static LRESULT CALLBACK FrameProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);
  HRESULT Fail(HRESULT hr, const std::wstring& what);
  SIZE NaturalSizePixels();

  ControlOptions options_;
  CLSID clsid_ = CLSID_NULL;
  com::ComPtr<IUnknown> object_;
  com::ComPtr<IOleObject> ole_object_;
  com::ComPtr<IOleInPlaceObject> in_place_;
  com::ComPtr<IOleInPlaceActiveObject> active_;
  CSite* site_ = nullptr;  // one reference of ours
  HWND frame_ = nullptr;
  HWND control_window_ = nullptr;
  bool frame_closed_ = false;
  com::UniqueGdi<HBRUSH> background_;
  std::wstring error_;
};

// Dispatches the thread's messages until done() is true (checked after each message and on
// entry) or timeout_ms pass; INFINITE waits for done() alone. Keyboard messages go to the
// hosted controls' accelerators first. Returns done()'s final answer.
bool PumpMessagesUntil(const std::function<bool()>& done, DWORD timeout_ms);

// Pixels <-> HIMETRIC on the screen.
SIZEL PixelsToHimetric(SIZE pixels);
SIZE HimetricToPixels(SIZEL himetric);

}  // namespace host
