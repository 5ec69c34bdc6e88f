// The upgrade's system seams on Windows: the GET over WinHTTP, the archive in
// the temporary folder, the unpack folder with its protected access list.
#pragma once

#include "platform/upgrade_host.h"

class UpgradeHostWin32 : public platform::IUpgradeHost {
 public:
  std::unique_ptr<platform::IPackageGet> NewGet() override;
  std::string UserProxy() override;
  std::string ErrorText(uint32_t error) override;
  bool MakeTempFile(std::string& path, uint32_t& error) override;
  std::unique_ptr<platform::IArchiveFile> CreateArchive(const std::string& path, uint32_t& error) override;
  void RemoveArchive(const std::string& path) override;
  bool CreateUnpackFolder(const std::string& path, uint32_t& error) override;
  bool IsFile(const std::string& path) override;
  void DeleteTree(const std::string& path) override;
  std::string AgentFolder() override;
};
