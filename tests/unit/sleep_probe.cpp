// A grandchild for the plugin runner's tests: writes its process ID to the
// file named first, then sleeps the given seconds.
#include <windows.h>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  FILE* f = fopen(argv[1], "w");
  if (!f) return 3;
  fprintf(f, "%lu", static_cast<unsigned long>(GetCurrentProcessId()));
  fclose(f);
  Sleep(static_cast<DWORD>(atoi(argv[2])) * 1000);
  return 0;
}
