// Stands in for the player's service program in tests: it runs until it is stopped (and ends
// by itself after five minutes, so a failed test leaves nothing running for long).
#include <windows.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  Sleep(5 * 60 * 1000);
  return 0;
}
