// A DLL for the Updater's test. Every load appends the loading program's path
// to C:\markers\loads.txt (a load by the Updater would show there); with
// SELF_REGISTER it exports DllRegisterServer, which appends the DLL's own
// path to C:\markers\registered.txt.
#include <windows.h>

namespace {

HMODULE g_module = nullptr;

void append_line(const wchar_t* file, const wchar_t* text) {
  HANDLE h = CreateFileW(file, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return;
  char line[1024];
  const int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, line, sizeof(line) - 2, nullptr, nullptr);
  if (n > 0) {
    line[n - 1] = '\n';
    DWORD written = 0;
    WriteFile(h, line, static_cast<DWORD>(n), &written, nullptr);
  }
  CloseHandle(h);
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    g_module = module;
    wchar_t program[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, program, MAX_PATH);
    append_line(L"C:\\markers\\loads.txt", program);
  }
  return TRUE;
}

#ifdef SELF_REGISTER
extern "C" __declspec(dllexport) HRESULT WINAPI DllRegisterServer() {
  wchar_t self[MAX_PATH] = {};
  GetModuleFileNameW(g_module, self, MAX_PATH);
  append_line(L"C:\\markers\\registered.txt", self);
  return S_OK;
}
#else
extern "C" __declspec(dllexport) int WINAPI helper_function() { return 1; }
#endif
