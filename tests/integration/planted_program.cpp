// Planted beside the Updater under a system program's name: running it at all
// leaves C:\markers\planted.txt.
#include <windows.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  HANDLE h = CreateFileW(L"C:\\markers\\planted.txt", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
  return 0;
}
