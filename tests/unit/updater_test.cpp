// The update procedure over a fake system: what it stops, ends, copies,
// registers and starts, and the exit code it reports.
#include <gtest/gtest.h>

#include "tests/unit/fakes/fake_custom_runtime.h"
#include "tests/unit/fakes/fake_updater_system.h"
#include "tests/unit/fakes/pe_image_builder.h"
#include "updater/UpdateProcedure.h"

namespace {

using updater::CUpdateProcedure;

const std::string kInstall = "C:\\Program Files\\Halvren";
const std::string kUpdate = "C:\\Windows\\Temp\\upd";
const std::string kMenu = "C:\\ProgramData\\Start Menu\\Programs\\Halvren";
const std::string kRegsvr32 = "C:\\windows\\system32\\regsvr32.exe";

std::string In(const std::string& name) { return kInstall + "\\" + name; }
std::string Up(const std::string& name) { return kUpdate + "\\" + name; }

class UpdaterTest : public ::testing::Test {
 protected:
  UpdaterTest() { Prepare(); }

  void Prepare() {
    sys = FakeUpdaterSystem();
    runtime.starts.clear();
    sleptMs = 0;
    // Running agent: its service's process (exits only once waited for) and the front-end.
    sys.services["Halvren"].processId = 77;
    sys.processes = {{"host.exe", 77, In("Halvren.exe")}, {"Controller.exe", 78, In("Controller.exe")}};
    sys.PutFile(In("Halvren.exe"), "old agent");
    sys.PutFile(In("Controller.exe"), "old ui");
    sys.PutFile(In("notes.txt"), "old notes", updater::kAttributeReadOnly | updater::kAttributeHidden);
    sys.serviceProcessExitsOnWait = 77;

    sys.PutFile(Up("Halvren.exe"), "new agent");
    sys.PutFile(Up("Controller.exe"), "new ui");
    sys.PutFile(Up("notes.txt"), "new notes", updater::kAttributeReadOnly);
    sys.PutFile(Up("GuiBridge.dll"), pe_fixture::ComServer());
    sys.PutFile(Up("UPPER.DLL"), pe_fixture::ComServer());
    sys.PutFile(Up("plain.dll"), pe_fixture::PlainDll());
    sys.PutFile(Up("help\\index.html"), "help");
    sys.PutFile(kMenu + "\\Help.url", "old help");

    // The agent's "-service" run registers the new service.
    runtime.onStart = [this](const platform::ProcessSpec& spec) {
      if (spec.commandLine.find("-service") != std::string::npos) {
        sys.services["Halvren"] = FakeUpdaterSystem::Service();
        sys.services["Halvren"].state = updater::kServiceStopped;
        sys.services["Halvren"].startError = startError;
      }
      return FakeCustomRuntime::Run();
    };
    limits.exitWaitMs = 5;
  }

  // Every seam on the fake system; sleeps only add up.
  updater::UpdaterSeams Seams(std::function<std::string(uint32_t)> errorText = [](uint32_t) { return std::string(); }) {
    return {sys, sys, sys, sys, sys, sys, runtime, [this](uint32_t ms) { sleptMs += ms; }, std::move(errorText)};
  }

  int Run(std::vector<std::string> arguments = {kUpdate, kInstall, "4.02.15"}) {
    CUpdateProcedure procedure(Seams(), limits);
    return procedure.Run("\"Updater.exe\" ...", arguments);
  }
  std::vector<std::string> CommandLines() {
    std::vector<std::string> lines;
    for (const auto& s : runtime.Starts()) lines.push_back(s.commandLine);
    return lines;
  }

  FakeUpdaterSystem sys;
  FakeCustomRuntime runtime;
  updater::UpdateLimits limits;
  uint32_t startError = 0;
  uint64_t sleptMs = 0;
};

TEST_F(UpdaterTest, InstallsRegistersAndStarts) {
  sys.services["Corvane Halvren"].processId = 0;
  sys.processes.push_back({"CORVANE.EXE", 90, ""});
  sys.processes.push_back({"Halvren.exe", 91, ""});
  sys.keys["Software\\vendor.example\\Corvane"] = {{"Proxy", 1, "p"}, {"Trace", 4, "\x0a\0\0\0"}};
  sys.AddKey("Software\\vendor.example\\Corvane\\Agent");
  sys.keys["Software\\vendor.example\\Corvane\\Agent"] = {{"Agent Key", 1, "K"}};
  sys.AddKey("Software\\vendor.example\\Other");

  EXPECT_EQ(Run(), 0);
  EXPECT_EQ(sys.lines.back(), "Halvren sucessfully updated.");
  EXPECT_TRUE(sys.services["Corvane Halvren"].deleted);
  EXPECT_EQ(sys.services["Halvren"].starts, 1);
  EXPECT_EQ(sys.terminated, (std::vector<std::string>{"CORVANE.EXE", "Halvren.exe", "Controller.exe"}));

  // Files in place, though the service's process and the front-end held them
  // until they had ended; read-only and hidden on either side does not matter.
  EXPECT_EQ(sys.files[In("Halvren.exe")].data, "new agent");
  EXPECT_EQ(sys.files[In("Controller.exe")].data, "new ui");
  EXPECT_EQ(sys.files[In("notes.txt")].data, "new notes");
  EXPECT_EQ(sys.files[In("help\\index.html")].data, "help");

  // One registration, by the system's regsvr32 by full path; the capital
  // extension and the DLL without the export are left alone. Nothing runs in
  // a job that would end it with the Updater.
  EXPECT_EQ(CommandLines(), (std::vector<std::string>{
                                "\"" + kRegsvr32 + "\" /s \"" + In("GuiBridge.dll") + "\"",
                                "\"" + In("Halvren.exe") + "\" -service",
                            }));
  for (const auto& s : runtime.Starts()) EXPECT_FALSE(s.killOnClose) << s.commandLine;
  EXPECT_EQ(runtime.Starts()[0].application, kRegsvr32);

  // Settings carried over, sub-keys included; then the whole vendor key goes.
  EXPECT_EQ(sys.ValueOf("Software\\Halvren", "Proxy"), "p");
  EXPECT_EQ(sys.ValueOf("Software\\Halvren\\Agent", "Agent Key"), "K");
  EXPECT_EQ(sys.keys.count("Software\\vendor.example"), 0u);
  EXPECT_EQ(sys.keys.count("Software\\vendor.example\\Other"), 0u);

  EXPECT_EQ(sys.files.count(kMenu + "\\Help.url"), 0u);
  EXPECT_EQ(sys.shortcuts[kMenu + "\\Help\xC2\xA0.url"],
            "url https://www.halvren.example/support " + In("Controller.exe") + " 5");
  EXPECT_EQ(sys.shortcuts[kMenu + "\\Uninstall.lnk"],
            "link " + In("Uninstall.exe") + " " + In("Controller.exe") + " 0");
  EXPECT_EQ(sys.notifications, 1);

  const std::vector<std::string> head(sys.lines.begin(), sys.lines.begin() + 7);
  EXPECT_EQ(head, (std::vector<std::string>{
                      "Starting update... Command line: '\"Updater.exe\" ...'",
                      "Update path: '" + kUpdate + "'",
                      "Install path: '" + kInstall + "'",
                      "Version number: '4.02.15'",
                      "Agent path: '" + In("Halvren.exe") + "'",
                      "Controller path: '" + In("Controller.exe") + "'",
                      "Stopping applications...",
                  }));
}

TEST_F(UpdaterTest, StartMenuLeftAloneWhenTheNewHelpEntryExists) {
  sys.PutFile(kMenu + "\\Help\xC2\xA0.url", "mine");
  EXPECT_EQ(Run(), 0);
  EXPECT_EQ(sys.files.count(kMenu + "\\Help.url"), 0u);
  EXPECT_EQ(sys.files[kMenu + "\\Help\xC2\xA0.url"].data, "mine");
  EXPECT_TRUE(sys.shortcuts.empty());
  EXPECT_EQ(sys.notifications, 0);
  EXPECT_FALSE(sys.Logged("Updating start menu items..."));
}

TEST_F(UpdaterTest, ExitCodes) {
  struct Case {
    const char* what;
    uint32_t managerError;  // every open of the Service Control Manager
    bool serviceAppears;
    uint32_t startError;
    int exitCode;
    const char* line;  // logged
  } cases[] = {
      {"started", 0, true, 0, 0, "Halvren sucessfully updated."},
      {"already running counts as started", 0, true, 1056, 0, "Halvren sucessfully updated."},
      {"start fails", 0, true, 1053, 1, "ERROR. StartService failed with code 1053."},
      {"service never registered", 0, false, 0, 1, "ERROR. Failed registering Halvren service."},
      {"no Service Control Manager", 5, true, 0, 1, "ERROR. OpenSCManager failed with code 5."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Prepare();
    sys.managerError = c.managerError;
    startError = c.startError;
    if (!c.serviceAppears)
      runtime.onStart = [](const platform::ProcessSpec&) { return FakeCustomRuntime::Run(); };
    EXPECT_EQ(Run(), c.exitCode);
    EXPECT_TRUE(sys.Logged(c.line));
    if (c.exitCode != 0) {
      EXPECT_EQ(sys.lines.back(), "ERROR. Update incomplete.");
    }
    if (!c.serviceAppears) {
      EXPECT_GE(sleptMs, uint64_t{28} * limits.pauseMs);  // the 29 attempts to open it
    }
  }
}

TEST_F(UpdaterTest, LockedFileRetriedOthersCopiedUpdateIncomplete) {
  sys.processes.push_back({"Other.exe", 99, In("plain.dll")});  // not ours: never ended
  EXPECT_EQ(Run(), 1);
  EXPECT_TRUE(sys.Logged("ERROR. CopyFile failed with error 32."));
  EXPECT_TRUE(sys.Logged("ERROR. CopyDirectory failed with error '32'."));
  EXPECT_EQ(sys.lines.back(), "ERROR. Update incomplete.");
  EXPECT_EQ(sys.files.count(In("plain.dll")), 0u);
  EXPECT_EQ(sys.files[In("help\\index.html")].data, "help");
  EXPECT_EQ(sys.files[In("notes.txt")].data, "new notes");
  // Retried 20 times, 19 pauses of 500 ms between them.
  EXPECT_GE(sleptMs, 19u * 500u);
  EXPECT_FALSE(sys.Logged("Checking for old start menu items..."));
  // The new agent still registers and starts.
  EXPECT_EQ(sys.services["Halvren"].starts, 1);
  EXPECT_FALSE(sys.Logged("Halvren sucessfully updated."));
}

TEST_F(UpdaterTest, VendorKeyKeptWhenTheSettingsCopyFails) {
  sys.keys["Software\\vendor.example\\Corvane"] = {{"Proxy", 1, "p"}, {"Host", 1, "h"}};
  sys.AddKey("Software\\vendor.example\\Corvane\\Agent");
  sys.keys["Software\\vendor.example\\Corvane\\Agent"] = {{"Agent Key", 1, "K"}};
  sys.failingValues = {"Agent Key"};  // fails in the sub-key
  EXPECT_EQ(Run(), 0);
  EXPECT_EQ(sys.ValueOf("Software\\Halvren", "Host"), "h");
  EXPECT_EQ(sys.ValueOf("Software\\vendor.example\\Corvane\\Agent", "Agent Key"), "K");
}

TEST_F(UpdaterTest, NoPreviousGenerationCreatesTheSettingsKeyOnly) {
  EXPECT_EQ(Run(), 0);
  EXPECT_EQ(sys.keys.count("Software\\Halvren"), 1u);
  EXPECT_TRUE(sys.keys["Software\\Halvren"].empty());
}

TEST_F(UpdaterTest, BadArgumentsTouchNothing) {
  const std::string longPath = "C:\\" + std::string(260, 'a');
  const std::string justFits = "C:\\" + std::string(259 - 3 - 15, 'b');  // "\Controller.exe" still fits
  struct Case {
    std::vector<std::string> arguments;
    size_t lines;
  } cases[] = {
      {{"a", "b"}, 1},
      {{}, 1},
      {{longPath, kInstall, "1"}, 2},
      {{kUpdate, justFits + "x", "1"}, 2},  // the joined "Controller path" is one too long
  };
  for (const Case& c : cases) {
    sys.lines.clear();
    EXPECT_EQ(Run(c.arguments), -1);
    EXPECT_EQ(sys.lines.size(), c.lines);
    if (c.lines == 2) {
      EXPECT_EQ(sys.lines[1].compare(0, 26, "ERROR. Path too long: 'C:\\"), 0) << sys.lines[1];
    }
  }
  EXPECT_EQ(sys.managerOpens, 0);
  EXPECT_EQ(sys.copyAttempts, 0);
  EXPECT_TRUE(sys.terminated.empty());
  // Exactly at the limit it goes ahead.
  EXPECT_EQ(Run({kUpdate, justFits, "1"}), 1);
}

TEST_F(UpdaterTest, TooLongOrLinkedEntriesInsideTheCopyFailThemOnly) {
  sys.PutFile(Up(std::string(250, 'n')), "long");
  sys.PutFile(Up("linked.txt"), "elsewhere");
  sys.links.insert(Up("linked.txt"));
  EXPECT_EQ(Run(), 1);
  EXPECT_EQ(sys.files.count(In("linked.txt")), 0u);
  EXPECT_EQ(sys.files[In("Halvren.exe")].data, "new agent");
  EXPECT_TRUE(sys.Logged("ERROR. Path too long: '" + Up(std::string(250, 'n')) + "'."));
  EXPECT_TRUE(sys.Logged("ERROR. Not following the link '" + Up("linked.txt") + "'."));
  EXPECT_TRUE(sys.Logged("ERROR. CopyDirectory failed with error '1920'."));  // the first, in listing order
}

TEST_F(UpdaterTest, ProcessRunner) {
  CUpdateProcedure procedure(Seams([](uint32_t code) { return code == 2 ? std::string("Not found.") : std::string(); }),
                             limits);

  runtime.onStart = [](const platform::ProcessSpec&) {
    FakeCustomRuntime::Run run;
    run.hang = FakeCustomRuntime::Hang::FakeClock;
    return run;
  };
  procedure.RunProcess("a.exe", "\"a.exe\" -x", "a.exe", "-x");
  EXPECT_TRUE(sys.Logged("Timed out waiting for process."));
  EXPECT_EQ(runtime.endedTrees.load(), 1);
  EXPECT_TRUE(sys.opened.empty());  // not started again through the shell

  for (uint32_t error : {2u, 193u}) {
    runtime.onStart = [error](const platform::ProcessSpec&) {
      FakeCustomRuntime::Run run;
      run.started = false;
      run.error = error;
      return run;
    };
    procedure.RunProcess("b.exe", "\"b.exe\" -y", "b.exe", "-y");
  }
  EXPECT_TRUE(sys.Logged("CreateProcess Failed with error 2: Not found.. Trying ShellExecute..."));
  EXPECT_TRUE(sys.Logged("CreateProcess Unknown Error.. Trying ShellExecute..."));
  EXPECT_EQ(sys.opened, (std::vector<std::string>{"b.exe -y", "b.exe -y"}));

  runtime.onStart = [](const platform::ProcessSpec&) {
    FakeCustomRuntime::Run run;
    run.exitCode = 3;
    return run;
  };
  procedure.RunProcess("c.exe", "\"c.exe\"", "c.exe", "");
  EXPECT_TRUE(sys.Logged("GetExitCodeProcess returned 3"));
}

TEST_F(UpdaterTest, ServiceRemoval) {
  struct Case {
    const char* what;
    uint32_t stopError, queryError;
    int pollsUntilStopped;
    bool deleted;
    const char* line;
  } cases[] = {
      {"stops", 0, 0, 2, true, "Service stopped. Deleting..."},
      {"stop refused: deleted at once", 1062, 0, 0, true, "ERROR. ControlService failed with code 1062."},
      {"status unreadable: left", 0, 6, 0, false, "ERROR. ControlService failed with code 6."},
      {"never stops: left", 0, 0, 1000, false, "Stopping service..."},
  };
  updater::UpdaterSeams seams{
      sys, sys, sys, sys, sys, sys, runtime, [](uint32_t) {}, [](uint32_t) { return std::string(); }};
  CUpdateProcedure procedure(seams, limits);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    sys.lines.clear();
    sys.services["Svc"] = FakeUpdaterSystem::Service();
    sys.services["Svc"].stopError = c.stopError;
    sys.services["Svc"].queryError = c.queryError;
    sys.services["Svc"].pollsUntilStopped = c.pollsUntilStopped;
    procedure.RemoveService("Svc");
    EXPECT_EQ(sys.services["Svc"].deleted, c.deleted);
    EXPECT_TRUE(sys.Logged(c.line));
  }
  sys.lines.clear();
  procedure.RemoveService("Missing");
  EXPECT_EQ(sys.lines, (std::vector<std::string>{"Trying to open SC Manager...",
                                                 "Trying to open service 'Missing'..."}));
}

}  // namespace
