// The update procedure's seams over the Windows API.
#pragma once

#include <memory>

#include "updater/UpdaterSeams.h"

namespace updater {

class CWindowsSystem;

// Owns the real seams; `Seams()` hands them to the procedure.
class CWindowsUpdater {
 public:
  CWindowsUpdater();
  ~CWindowsUpdater();
  UpdaterSeams Seams();

 private:
  std::unique_ptr<CWindowsSystem> m_system;
};

// "monupdate_YYYY_MM_DD.log" in the agent's log folder, one open-append-close
// per line. The folder is never created, and a folder or file that is a link
// gets nothing.
class CUpdateLogFile : public IUpdateLog {
 public:
  void Line(const std::string& text) override;
};

}  // namespace updater
