// The log collection over a fake file system, clock and child: names from one
// moment, the command line byte for byte, the tool's folder, what is left
// behind on every outcome, links removed as links, one collection at a time.
#include "agent/LogCollection.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <set>
#include <thread>

namespace {

using Source = ILogCollectionSeams::LogSource;

class FakeCollectionSeams : public ILogCollectionSeams {
 public:
  std::string logFolder = "C:\\ProgramData\\Halvren\\logs\\";
  platform::LocalTime now{2026, 5, 17, 14, 3, 9};
  std::set<std::string> folders, files, links;
  // Files each source copies (names only), per call.
  std::map<Source, std::vector<std::string>> sourceFiles;
  std::vector<std::string> log;
  std::vector<std::pair<Source, bool>> copies;  // source, upgrade flag
  std::vector<platform::LocalTime> copyDays;
  std::vector<std::string> commands, childFolders;
  std::vector<uint32_t> timeouts;
  ChildResult child{true, true, 0};
  bool childWritesArchive = true;
  bool removedThroughLink = false;
  std::atomic<int> running{0}, maxRunning{0};

  std::string LogFolder() override { return logFolder; }
  std::string ProgramFolder() override { return "C:\\Program Files\\Halvren"; }
  platform::LocalTime Now() override { return now; }
  bool IsLink(const std::string& p) override { return links.count(p) != 0; }
  bool RemoveLink(const std::string& p) override { return links.erase(p) != 0; }
  bool Exists(const std::string& p) override { return folders.count(p) || files.count(p) || links.count(p); }
  bool DeleteTree(const std::string& p) override {
    if (links.count(p)) removedThroughLink = true;
    folders.erase(p);
    for (auto it = files.begin(); it != files.end();)
      it = it->rfind(p + "\\", 0) == 0 ? files.erase(it) : ++it;
    return true;
  }
  bool MakeFolder(const std::string& p) override { return folders.insert(p).second || true; }
  bool RemoveFile(const std::string& p) override {
    if (links.count(p)) removedThroughLink = true;
    return files.erase(p) != 0;
  }
  std::vector<std::string> LogFiles(const std::string& folder) override {
    std::vector<std::string> names;
    for (const std::string& f : files) {
      if (f.rfind(folder + "\\", 0) != 0) continue;
      std::string name = f.substr(folder.size() + 1);
      if (name.size() > 4 && name.compare(name.size() - 4, 4, ".log") == 0) names.push_back(name);
    }
    return names;
  }
  int CopyLogs(Source source, const std::string& folder, int days, const platform::LocalTime& today,
               bool upgrade) override {
    EXPECT_EQ(days, 2);
    copies.emplace_back(source, upgrade);
    copyDays.push_back(today);
    int n = 0;
    for (const std::string& name : sourceFiles[source]) {
      files.insert(folder + "\\" + name);
      ++n;
    }
    return n;
  }
  ChildResult RunChild(const std::string& command, const std::string& folder, uint32_t timeoutMs) override {
    const int now = ++running;
    int seen = maxRunning;
    while (now > seen && !maxRunning.compare_exchange_weak(seen, now)) {
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    commands.push_back(command);
    childFolders.push_back(folder);
    timeouts.push_back(timeoutMs);
    if (childWritesArchive) files.insert(logFolder + ArchiveName());
    --running;
    return child;
  }
  void Log(const std::string& line) override { log.push_back(line); }

  std::string ArchiveName() const {
    char name[64];
    std::snprintf(name, sizeof name, "monlogs_%04d_%02d_%02d_%02d_%02d_%02d.zip", now.year, now.month,
                  now.day, now.hour, now.minute, now.second);
    return name;
  }
  std::string CollectFolder() const {
    char name[64];
    std::snprintf(name, sizeof name, "monlogs_%04d_%02d_%02d", now.year, now.month, now.day);
    return logFolder + name;
  }
  bool LeftBehind() const {
    for (const std::string& f : folders)
      if (f.find("monlogs_") != std::string::npos) return true;
    for (const std::string& f : files)
      if (f.find("monlogs_") != std::string::npos) return true;
    return false;
  }
};

void SomeLogs(FakeCollectionSeams& s) {
  s.sourceFiles[Source::exceptions] = {"monexception_2026_05_17.log"};
  s.sourceFiles[Source::agentAndUpdate] = {"monupdate_2026_05_16.log", "monintagent_2026_05_16.log",
                                           "monintagent_2026_05_17.log"};
}

TEST(LogCollection, NoLogsGivesNothingAndLeavesNothing) {
  FakeCollectionSeams s;
  CLogCollector collector(s);
  const auto r = collector.CollectLogs(false);
  EXPECT_EQ(r.outcome, CLogCollector::Outcome::noLogs);
  EXPECT_TRUE(r.path.empty());
  EXPECT_FALSE(s.LeftBehind());
  EXPECT_TRUE(s.commands.empty());
  EXPECT_EQ(s.log.back(), "No log files collected. Deleting folder '" + s.CollectFolder() + "'...");
}

TEST(LogCollection, PacksInOrderWithTheCommandLineAsSpecified) {
  FakeCollectionSeams s;
  SomeLogs(s);
  CLogCollector collector(s);
  const auto r = collector.CollectLogs(true);
  ASSERT_EQ(r.outcome, CLogCollector::Outcome::archive);
  EXPECT_EQ(r.path, "C:\\ProgramData\\Halvren\\logs\\monlogs_2026_05_17_14_03_09.zip");
  ASSERT_EQ(s.commands.size(), 1u);
  EXPECT_EQ(s.commands[0],
            "\"C:\\Program Files\\Halvren\\minizip.exe\" -oj \"monlogs_2026_05_17_14_03_09.zip\""
            " \"monlogs_2026_05_17\\monexception_2026_05_17.log\""
            " \"monlogs_2026_05_17\\monintagent_2026_05_16.log\""
            " \"monlogs_2026_05_17\\monintagent_2026_05_17.log\""
            " \"monlogs_2026_05_17\\monupdate_2026_05_16.log\"");
  EXPECT_EQ(s.childFolders[0], s.logFolder);  // the tool's own folder; ours is never changed
  EXPECT_EQ(s.timeouts[0], 60000u);
  const std::vector<std::pair<Source, bool>> order = {{Source::exceptions, true},
                                                      {Source::customApi, true},
                                                      {Source::customMonitor, true},
                                                      {Source::agentAndUpdate, true}};
  EXPECT_EQ(s.copies, order);
  const std::string folder = s.CollectFolder();
  const std::vector<std::string> expectedLog = {
      "CollectLogs called. collect folder: '" + folder + "', zip file: '" + r.path + "'",
      "Deleting folder '" + folder + "'...",
      "Creating folder '" + folder + "'...",
      "Collecting exception logs...",
      "Collecting custom api logs...",
      "Collecting custom monitor logs...",
      "Collecting agent and update logs...",
      "Executing command '" + s.commands[0] + "'",
      "Deleting folder '" + folder + "'...",
  };
  EXPECT_EQ(s.log, expectedLog);
  EXPECT_EQ(s.folders.count(folder), 0u);
}

TEST(LogCollection, StaleFolderIsRebuiltAndOneMomentNamesEverything) {
  FakeCollectionSeams s;
  SomeLogs(s);
  s.now = {2026, 3, 1, 0, 0, 30};  // a new day: yesterday's and today's files, today's name
  s.folders.insert(s.CollectFolder());
  s.files.insert(s.CollectFolder() + "\\stale.log");
  CLogCollector collector(s);
  const auto r = collector.CollectLogs(false);
  ASSERT_EQ(r.outcome, CLogCollector::Outcome::archive);
  EXPECT_EQ(r.path, "C:\\ProgramData\\Halvren\\logs\\monlogs_2026_03_01_00_00_30.zip");
  EXPECT_EQ(s.commands[0].find("stale.log"), std::string::npos);
  for (const auto& day : s.copyDays) {
    EXPECT_EQ(day.year, 2026);
    EXPECT_EQ(day.month, 3);
    EXPECT_EQ(day.day, 1);
  }
}

TEST(LogCollection, AnArchiveIsAcceptedOnlyWhenTheToolSucceeded) {
  struct Row {
    const char* what;
    ILogCollectionSeams::ChildResult child;
    bool writes;
  };
  const Row rows[] = {
      {"not started", {false, false, 255}, false},
      {"killed after its time", {true, false, 255}, true},  // a partial file
      {"failed", {true, true, 1}, true},
      {"exit 0 but no file", {true, true, 0}, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    FakeCollectionSeams s;
    SomeLogs(s);
    s.child = row.child;
    s.childWritesArchive = row.writes;
    CLogCollector collector(s);
    const auto r = collector.CollectLogs(false);
    EXPECT_EQ(r.outcome, CLogCollector::Outcome::failed);
    EXPECT_TRUE(r.path.empty());
    EXPECT_FALSE(s.LeftBehind());
  }
}

TEST(LogCollection, LinksAtTheKnownNamesAreRemovedNotFollowed) {
  FakeCollectionSeams s;
  SomeLogs(s);
  s.links.insert(s.CollectFolder());
  s.links.insert(s.logFolder + s.ArchiveName());
  CLogCollector collector(s);
  const auto r = collector.CollectLogs(false);
  EXPECT_EQ(r.outcome, CLogCollector::Outcome::archive);
  EXPECT_FALSE(s.removedThroughLink);
  EXPECT_TRUE(s.links.empty());
}

TEST(LogCollection, CollectionsRunOneAtATime) {
  FakeCollectionSeams s;
  SomeLogs(s);
  CLogCollector collector(s);
  std::thread a([&] { collector.CollectLogs(false); });
  std::thread b([&] { collector.CollectLogs(false); });
  a.join();
  b.join();
  EXPECT_EQ(s.commands.size(), 2u);
  EXPECT_EQ(s.maxRunning.load(), 1);
}

TEST(LogCollection, NoLogFolderOrTooLongPaths) {
  FakeCollectionSeams none;
  none.logFolder.clear();
  EXPECT_EQ(CLogCollector(none).CollectLogs(false).outcome, CLogCollector::Outcome::noLogs);
  FakeCollectionSeams deep;
  SomeLogs(deep);
  deep.logFolder = "C:\\" + std::string(240, 'x') + "\\";
  EXPECT_EQ(CLogCollector(deep).CollectLogs(false).outcome, CLogCollector::Outcome::failed);
  EXPECT_TRUE(deep.commands.empty());
  EXPECT_FALSE(deep.LeftBehind());
}

}  // namespace
