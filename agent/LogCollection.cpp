#include "agent/LogCollection.h"

#include <cstdio>

namespace {

std::string Join(const std::string& folder, const std::string& name) {
  if (!folder.empty() && (folder.back() == '\\' || folder.back() == '/')) return folder + name;
  return folder + "\\" + name;
}

}  // namespace

bool CLogCollector::Clear(const std::string& path, bool folder) {
  if (m_seams.IsLink(path)) {
    m_seams.Log("Removing the link '" + path + "'...");
    m_seams.RemoveLink(path);
    return !m_seams.Exists(path) && !m_seams.IsLink(path);
  }
  if (!m_seams.Exists(path)) return true;
  if (folder) {
    m_seams.DeleteTree(path);
  } else {
    m_seams.RemoveFile(path);
  }
  return !m_seams.Exists(path);
}

CLogCollector::Result CLogCollector::CollectLogs(bool upgradeStarted) {
  std::lock_guard<std::mutex> serialised(m_lock);
  Result result;
  const std::string logFolder = m_seams.LogFolder();
  if (logFolder.empty()) {
    m_seams.Log("CollectLogs: no log folder.");
    result.outcome = Outcome::noLogs;
    return result;
  }
  const platform::LocalTime t = m_seams.Now();
  char folderName[64], archiveName[64];
  std::snprintf(folderName, sizeof folderName, "monlogs_%04d_%02d_%02d", t.year, t.month, t.day);
  std::snprintf(archiveName, sizeof archiveName, "monlogs_%04d_%02d_%02d_%02d_%02d_%02d.zip", t.year, t.month,
                t.day, t.hour, t.minute, t.second);
  const std::string collect = Join(logFolder, folderName);
  const std::string archive = Join(logFolder, archiveName);
  const std::string tool = m_seams.ProgramFolder();
  if (archive.size() >= kMaxPath || collect.size() >= kMaxPath || tool.size() + 12 >= kMaxPath) {
    m_seams.Log("CollectLogs: the paths are too long.");
    return result;
  }
  m_seams.Log("CollectLogs called. collect folder: '" + collect + "', zip file: '" + archive + "'");

  m_seams.Log("Deleting folder '" + collect + "'...");
  if (!Clear(collect, true)) {
    m_seams.Log("CollectLogs: the folder '" + collect + "' could not be removed.");
    return result;
  }
  m_seams.Log("Creating folder '" + collect + "'...");
  if (!m_seams.MakeFolder(collect) || m_seams.IsLink(collect)) {
    m_seams.Log("CollectLogs: the folder '" + collect + "' could not be created.");
    Clear(collect, true);
    return result;
  }

  using Source = ILogCollectionSeams::LogSource;
  struct Step {
    const char* line;
    Source source;
  };
  static const Step kSteps[] = {
      {"Collecting exception logs...", Source::exceptions},
      {"Collecting custom api logs...", Source::customApi},
      {"Collecting custom monitor logs...", Source::customMonitor},
      {"Collecting agent and update logs...", Source::agentAndUpdate},
  };
  int copied = 0;
  for (const Step& step : kSteps) {
    m_seams.Log(step.line);
    copied += m_seams.CopyLogs(step.source, collect, kDays, t, upgradeStarted);
  }
  if (copied == 0) {
    m_seams.Log("No log files collected. Deleting folder '" + collect + "'...");
    Clear(collect, true);
    result.outcome = Outcome::noLogs;
    return result;
  }

  // Relative to the tool's current folder, the log folder.
  std::string command = "\"" + tool + "\\minizip.exe\" -oj \"" + archiveName + "\"";
  for (const std::string& file : m_seams.LogFiles(collect))
    command += " \"" + std::string(folderName) + "\\" + file + "\"";
  m_seams.Log("Executing command '" + command + "'");

  bool packed = Clear(archive, false);  // a link there is removed, never written through
  ILogCollectionSeams::ChildResult child;
  if (packed) child = m_seams.RunChild(command, logFolder, kToolTimeoutMs);

  m_seams.Log("Deleting folder '" + collect + "'...");
  Clear(collect, true);

  packed = packed && child.started && child.finished && child.exitCode == 0 && m_seams.Exists(archive) &&
           !m_seams.IsLink(archive);
  if (!packed) {
    m_seams.Log("CollectLogs: the log files could not be packed (tool " +
                std::string(!child.started    ? "not started"
                            : !child.finished ? "ended after its time limit"
                                              : "exit code ") +
                (child.started && child.finished ? std::to_string(child.exitCode) : std::string()) + ").");
    Clear(archive, false);
    return result;
  }
  result.outcome = Outcome::archive;
  result.path = archive;
  return result;
}
