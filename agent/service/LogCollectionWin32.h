// The log collection's seams on Windows: the real log folder, files, links
// (reparse points), the program's writers and the zip tool as a child process.
#pragma once

#include "agent/LogCollection.h"

class CWindowsLogCollectionSeams : public ILogCollectionSeams {
 public:
  std::string LogFolder() override;
  std::string ProgramFolder() override;
  platform::LocalTime Now() override;
  bool IsLink(const std::string& path) override;
  bool RemoveLink(const std::string& path) override;
  bool Exists(const std::string& path) override;
  bool DeleteTree(const std::string& path) override;
  bool MakeFolder(const std::string& path) override;
  bool RemoveFile(const std::string& path) override;
  std::vector<std::string> LogFiles(const std::string& folder) override;
  int CopyLogs(LogSource source, const std::string& folder, int days, const platform::LocalTime& today,
               bool upgradeStarted) override;
  ChildResult RunChild(const std::string& commandLine, const std::string& currentFolder,
                       uint32_t timeoutMs) override;
  void Log(const std::string& line) override;
};
