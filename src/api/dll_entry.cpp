// The entry point the Windows loader calls when it maps or unmaps Quorvel.DLL
// and when threads start or end. The decoder lives in static storage that needs
// no set-up, and no call keeps anything to release, so every notification
// simply succeeds.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE /*instance*/, DWORD /*reason*/, LPVOID /*reserved*/) { return TRUE; }
