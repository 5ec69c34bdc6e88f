// The installer against a fake service manager: the exact calls and
// structures, each failure reported and returned, and the bounded waits of a
// removal. Wine's own manager stores no failure actions, so they are checked here.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "agent/service/ServiceInstaller.h"

namespace {

using namespace std::chrono_literals;

SC_HANDLE Handle(uintptr_t n) { return reinterpret_cast<SC_HANDLE>(n); }

class FakeServiceManager : public IServiceManager {
 public:
  // Failure switches: the call's name -> the error it fails with.
  std::map<std::string, DWORD> failures;
  bool exists = false;
  DWORD state = SERVICE_STOPPED;
  int stopPendingPolls = 0;   // STOP_PENDING answers after a stop before STOPPED (-1: for ever)
  int lingerAfterDelete = 0;  // opens that still succeed after the delete (-1: for ever)
  bool deleted = false;

  std::vector<std::string> calls;
  struct Created {
    std::wstring name, display, path, dependencies;
    DWORD access, type, start, errorControl;
  } created{};
  DWORD changedType = 0, changedStart = 0, changedErrorControl = 0;
  std::wstring changedDependencies;
  std::wstring description;
  bool haveFailureActions = false;
  SERVICE_FAILURE_ACTIONSW failureActions{};
  std::vector<SC_ACTION> actions;
  bool rebootMessageNull = false, commandNull = false;
  std::chrono::steady_clock::time_point clock{};
  int openHandles = 0;

  static std::wstring MultiString(const wchar_t* s) {
    std::wstring out;
    if (s == nullptr) return out;
    while (*s) {
      out += s;
      out += L'|';
      s += wcslen(s) + 1;
    }
    return out;
  }

  bool Fails(const char* call) {
    calls.push_back(call);
    auto it = failures.find(call);
    if (it == failures.end()) return false;
    m_error = it->second;
    return true;
  }

  SC_HANDLE OpenManager(DWORD) override {
    if (Fails("OpenManager")) return nullptr;
    ++openHandles;
    return Handle(1);
  }
  SC_HANDLE Open(SC_HANDLE, const wchar_t*, DWORD) override {
    if (Fails("Open")) return nullptr;
    if (deleted) {
      if (lingerAfterDelete == 0) {
        m_error = ERROR_SERVICE_DOES_NOT_EXIST;
        return nullptr;
      }
      if (lingerAfterDelete > 0) --lingerAfterDelete;
    } else if (!exists) {
      m_error = ERROR_SERVICE_DOES_NOT_EXIST;
      return nullptr;
    }
    ++openHandles;
    return Handle(2);
  }
  SC_HANDLE Create(SC_HANDLE, const wchar_t* name, const wchar_t* display, DWORD access, DWORD type,
                   DWORD start, DWORD errorControl, const wchar_t* path,
                   const wchar_t* dependencies) override {
    if (Fails("Create")) return nullptr;
    created = {name, display, path, MultiString(dependencies), access, type, start, errorControl};
    exists = true;
    ++openHandles;
    return Handle(3);
  }
  BOOL ChangeConfig(SC_HANDLE, DWORD type, DWORD start, DWORD errorControl,
                    const wchar_t* dependencies) override {
    if (Fails("ChangeConfig")) return FALSE;
    changedType = type;
    changedStart = start;
    changedErrorControl = errorControl;
    changedDependencies = MultiString(dependencies);
    return TRUE;
  }
  BOOL ChangeConfig2(SC_HANDLE, DWORD level, void* info) override {
    if (level == SERVICE_CONFIG_DESCRIPTION) {
      if (Fails("ChangeConfig2(description)")) return FALSE;
      description = static_cast<SERVICE_DESCRIPTIONW*>(info)->lpDescription;
      return TRUE;
    }
    if (Fails("ChangeConfig2(failure actions)")) return FALSE;
    failureActions = *static_cast<SERVICE_FAILURE_ACTIONSW*>(info);
    actions.assign(failureActions.lpsaActions, failureActions.lpsaActions + failureActions.cActions);
    rebootMessageNull = failureActions.lpRebootMsg == nullptr;
    commandNull = failureActions.lpCommand == nullptr;
    haveFailureActions = true;
    return TRUE;
  }
  BOOL Control(SC_HANDLE, DWORD, SERVICE_STATUS* status) override {
    if (Fails("Control")) {
      status->dwCurrentState = state;
      return FALSE;
    }
    if (state == SERVICE_STOPPED) {
      status->dwCurrentState = state;
      m_error = ERROR_SERVICE_NOT_ACTIVE;
      return FALSE;
    }
    state = SERVICE_STOP_PENDING;
    status->dwCurrentState = state;
    return TRUE;
  }
  BOOL QueryStatus(SC_HANDLE, SERVICE_STATUS* status) override {
    if (Fails("QueryStatus")) return FALSE;
    if (state == SERVICE_STOP_PENDING) {
      if (stopPendingPolls == 0)
        state = SERVICE_STOPPED;
      else if (stopPendingPolls > 0)
        --stopPendingPolls;
    }
    status->dwCurrentState = state;
    return TRUE;
  }
  BOOL Delete(SC_HANDLE) override {
    if (Fails("Delete")) return FALSE;
    deleted = true;
    return TRUE;
  }
  BOOL Close(SC_HANDLE) override {
    --openHandles;
    return TRUE;
  }
  DWORD LastError() override { return m_error; }
  void Pause(std::chrono::milliseconds ms) override { clock += ms; }
  std::chrono::steady_clock::time_point Now() override { return clock; }

 private:
  DWORD m_error = 0;
};

struct Recorded {
  std::vector<std::wstring> events, errors, boxes;
};

NoticeSeams RecordingSeams(Recorded& r, bool visible) {
  NoticeSeams s;
  s.reportEvent = [&r](WORD, DWORD, const std::wstring& t) { r.events.push_back(t); };
  s.standardError = [&r](const std::wstring& t) { r.errors.push_back(t); };
  s.desktopVisible = [visible] { return visible; };
  s.messageBox = [&r](const std::wstring& t) { r.boxes.push_back(t); };
  return s;
}

const InstallerLimits kLimits{1000ms, 1000ms, 100ms};

TEST(ServiceInstallerFake, FreshInstallMakesTheServiceThenReconfiguresIt) {
  FakeServiceManager scm;
  Recorded rec;
  CServiceNotices notices(RecordingSeams(rec, false));
  CServiceInstaller installer(scm, notices, kLimits);
  ASSERT_EQ(installer.Install(L"Halvren", L"C:\\Program Files\\Halvren\\Halvren.exe"), S_OK);
  EXPECT_EQ(scm.created.name, L"Halvren");
  EXPECT_EQ(scm.created.display, L"Halvren");
  EXPECT_EQ(scm.created.path, L"\"C:\\Program Files\\Halvren\\Halvren.exe\"");
  EXPECT_EQ(scm.created.dependencies, L"RPCSS|");
  EXPECT_EQ(scm.created.access, static_cast<DWORD>(SERVICE_ALL_ACCESS));
  EXPECT_EQ(scm.created.type, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
  EXPECT_EQ(scm.created.start, static_cast<DWORD>(SERVICE_DEMAND_START));
  EXPECT_EQ(scm.created.errorControl, static_cast<DWORD>(SERVICE_ERROR_NORMAL));

  ASSERT_EQ(installer.Reconfigure(L"Halvren", L"Internal monitoring tool."), S_OK);
  EXPECT_EQ(scm.changedType, 0x110u);
  EXPECT_EQ(scm.changedStart, static_cast<DWORD>(SERVICE_AUTO_START));
  EXPECT_EQ(scm.changedErrorControl, static_cast<DWORD>(SERVICE_NO_CHANGE));
  EXPECT_EQ(scm.changedDependencies, L"RPCSS|");  // unchanged, given again
  EXPECT_EQ(scm.description, L"Internal monitoring tool.");
  ASSERT_TRUE(scm.haveFailureActions);
  EXPECT_EQ(scm.failureActions.dwResetPeriod, 86400u);
  EXPECT_TRUE(scm.rebootMessageNull);
  EXPECT_TRUE(scm.commandNull);
  ASSERT_EQ(scm.actions.size(), 3u);
  for (const SC_ACTION& a : scm.actions) {
    EXPECT_EQ(a.Type, SC_ACTION_RESTART);
    EXPECT_EQ(a.Delay, 60000u);
  }
  EXPECT_TRUE(rec.events.empty());
  EXPECT_EQ(scm.openHandles, 0);
}

TEST(ServiceInstallerFake, EachFailingCallIsReportedAndReturned) {
  struct Row {
    const char* call;
    bool install;  // else Reconfigure
    const wchar_t* text;
  };
  const Row rows[] = {
      {"OpenManager", true, L"Could not open Service Manager"},
      {"Create", true, L"Could not start service"},
      {"OpenManager", false, L"Could not open Service Manager"},
      {"Open", false, L"Could not open service"},
      {"ChangeConfig", false, L"Could not configure service"},
      {"ChangeConfig2(description)", false, L"Could not set the service description"},
      {"ChangeConfig2(failure actions)", false, L"Could not set the service failure actions"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.call);
    FakeServiceManager scm;
    scm.exists = !row.install;
    scm.failures[row.call] = ERROR_ACCESS_DENIED;
    Recorded rec;
    CServiceNotices notices(RecordingSeams(rec, false));
    CServiceInstaller installer(scm, notices, kLimits);
    const HRESULT hr = row.install ? installer.Install(L"Halvren", L"C:\\a\\Halvren.exe")
                                   : installer.Reconfigure(L"Halvren", L"d");
    EXPECT_TRUE(FAILED(hr));
    ASSERT_EQ(rec.events.size(), 1u);
    EXPECT_EQ(rec.events[0].rfind(row.text, 0), 0u)
        << std::string(rec.events[0].begin(), rec.events[0].end());
    ASSERT_EQ(rec.errors.size(), 1u);  // standard error too
    EXPECT_TRUE(rec.boxes.empty());    // no visible desktop
    EXPECT_EQ(scm.openHandles, 0);
  }
}

TEST(ServiceInstallerFake, UninstallWaitsForTheStopAndTheDeletion) {
  FakeServiceManager scm;
  scm.exists = true;
  scm.state = SERVICE_RUNNING;
  scm.stopPendingPolls = 3;
  scm.lingerAfterDelete = 2;
  Recorded rec;
  CServiceNotices notices(RecordingSeams(rec, false));
  CServiceInstaller installer(scm, notices, kLimits);
  ASSERT_EQ(installer.Uninstall(L"Halvren"), S_OK);
  EXPECT_TRUE(scm.deleted);
  EXPECT_EQ(scm.lingerAfterDelete, 0);
  // Deleted only once the service had stopped.
  const auto del = std::find(scm.calls.begin(), scm.calls.end(), "Delete");
  ASSERT_NE(del, scm.calls.end());
  EXPECT_EQ(std::count(scm.calls.begin(), del, std::string("QueryStatus")), 4);
  EXPECT_TRUE(rec.events.empty());
  EXPECT_EQ(scm.openHandles, 0);
}

TEST(ServiceInstallerFake, UninstallTimesOut) {
  struct Row {
    int stopPending, linger;
    const wchar_t* text;
  };
  const Row rows[] = {{-1, 0, L"Could not stop service"}, {0, -1, L"Could not delete service"}};
  for (const Row& row : rows) {
    FakeServiceManager scm;
    scm.exists = true;
    scm.state = SERVICE_RUNNING;
    scm.stopPendingPolls = row.stopPending;
    scm.lingerAfterDelete = row.linger;
    Recorded rec;
    CServiceNotices notices(RecordingSeams(rec, true));
    CServiceInstaller installer(scm, notices, kLimits);
    const auto start = scm.Now();
    EXPECT_EQ(installer.Uninstall(L"Halvren"), E_FAIL);
    EXPECT_LE(scm.Now() - start, 1100ms);
    ASSERT_EQ(rec.boxes.size(), 1u);  // a visible desktop shows the box too
    EXPECT_EQ(rec.boxes[0], row.text);
    EXPECT_EQ(scm.openHandles, 0);
  }
}

TEST(ServiceInstallerFake, UninstallOfAStoppedOrMissingService) {
  FakeServiceManager scm;
  Recorded rec;
  CServiceNotices notices(RecordingSeams(rec, false));
  CServiceInstaller installer(scm, notices, kLimits);
  EXPECT_EQ(installer.Uninstall(L"Halvren"), S_OK);  // none
  EXPECT_EQ(std::count(scm.calls.begin(), scm.calls.end(), std::string("Delete")), 0);
  scm.exists = true;  // stopped: the stop control's refusal is no failure
  EXPECT_EQ(installer.Uninstall(L"Halvren"), S_OK);
  EXPECT_TRUE(scm.deleted);
  EXPECT_TRUE(rec.events.empty());
  scm.failures["Delete"] = ERROR_ACCESS_DENIED;
  scm.deleted = false;
  EXPECT_EQ(installer.Uninstall(L"Halvren"), E_FAIL);
  ASSERT_EQ(rec.events.size(), 1u);
  EXPECT_EQ(rec.events[0].rfind(L"Could not delete service", 0), 0u);
}

}  // namespace
