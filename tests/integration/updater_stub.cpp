// Stands in for the Updater in the upgrade tests: writes its command line and
// the names in its first argument's folder to the file named by
// UPDATER_MARKER, then ends.
#include <windows.h>

#include <cstdio>
#include <string>

int wmain(int argc, wchar_t** argv) {
  wchar_t marker[MAX_PATH] = {};
  if (!GetEnvironmentVariableW(L"UPDATER_MARKER", marker, MAX_PATH)) return 3;
  FILE* out = _wfopen(marker, L"w");
  if (!out) return 4;
  fwprintf(out, L"command line: %ls\n", GetCommandLineW());
  if (argc > 1) {
    WIN32_FIND_DATAW found;
    HANDLE h = FindFirstFileW((std::wstring(argv[1]) + L"\\*").c_str(), &found);
    if (h != INVALID_HANDLE_VALUE) {
      do {
        if (found.cFileName[0] != L'.') fwprintf(out, L"unpacked: %ls\n", found.cFileName);
      } while (FindNextFileW(h, &found));
      FindClose(h);
    }
  }
  fclose(out);
  return 0;
}
