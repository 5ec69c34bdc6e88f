// The launcher's job object under Wine: a process started in one ends when
// its handle goes; one started without (the Updater, which must outlive the
// agent that starts it) goes on running.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>

#include "platform/custom_runtime.h"

namespace {

std::string ProgramFolder() {
  char path[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string p(path);
  return p.substr(0, p.find_last_of('\\'));
}

// Starts sleep_probe.exe for a minute, drops the handle and returns the probe's
// own handle (0 when it never wrote its id).
HANDLE StartAndLetGo(bool killOnClose, const std::string& pidFile) {
  DeleteFileA(pidFile.c_str());
  platform::ProcessSpec spec;
  spec.commandLine = "\"" + ProgramFolder() + "\\sleep_probe.exe\" \"" + pidFile + "\" 60";
  spec.killOnClose = killOnClose;
  uint32_t error = 0;
  auto process = platform::system_custom_runtime()->Start(spec, error);
  if (!process) return nullptr;
  DWORD pid = 0;
  for (int i = 0; i < 100 && pid == 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::ifstream(pidFile) >> pid;
  }
  HANDLE probe = pid ? OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, pid) : nullptr;
  process.reset();
  return probe;
}

TEST(ProcessJobWine, OnlyAProcessInAJobEndsWithItsHandle) {
  const std::string folder = ProgramFolder();
  HANDLE inJob = StartAndLetGo(true, folder + "\\job_in.pid");
  ASSERT_NE(inJob, nullptr);
  EXPECT_EQ(WaitForSingleObject(inJob, 5000), WAIT_OBJECT_0);
  CloseHandle(inJob);

  HANDLE free = StartAndLetGo(false, folder + "\\job_none.pid");
  ASSERT_NE(free, nullptr);
  EXPECT_EQ(WaitForSingleObject(free, 1000), static_cast<DWORD>(WAIT_TIMEOUT));
  TerminateProcess(free, 0);
  CloseHandle(free);
}

}  // namespace
