// The cache cleaner: one application object, one dialog.
#include <windows.h>

#include "scourly_app.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  CScourlyApp app(instance);
  if (!app.InitInstance()) return app.ExitInstance();
  return app.ExitInstance();
}
