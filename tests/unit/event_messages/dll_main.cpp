// A message-table DLL for the event log tests; it is only ever loaded as data.
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
