// The monitor manager against a fake custom-monitor API: credentials from
// nothing and their renewal, failures, stops mid-fetch, and what the jobs
// become (the parsing table, the map, thread indices, updates, deletions).
#include "agent/custom/MonitorManager.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "tests/unit/fakes/fake_custom_api.h"

namespace {

using namespace std::chrono_literals;

struct Fixture {
  Fixture() : owner(api.transport) { owner.creds.agentKey = "AGENT"; }
  void Stored() {
    owner.creds.apiKey = "K0";
    owner.creds.secretKey = "S0";
    owner.creds.authToken = "T0";
    owner.creds.agentId = 5;
  }
  FakeCustomApi api;
  FakeCustomOwner owner;
};

TEST(MonitorManagerFetch, FromNothingGetsEveryCredentialThenJobs) {
  Fixture f;
  CMonitorManager manager(f.owner);
  manager.GetJobs();
  EXPECT_EQ(f.api.transport.Actions(),
            (std::vector<std::string>{"apikey", "authToken", "addAgent", "getJobs"}));
  EXPECT_EQ(f.owner.creds.apiKey, "K1");
  EXPECT_EQ(f.owner.creds.secretKey, "S1");
  EXPECT_EQ(f.owner.creds.authToken, "T1");
  EXPECT_EQ(f.owner.creds.agentId, 77u);
  EXPECT_NE(f.api.transport.Requests().back().object.find("&agentId=77&lastJobId=0&"), std::string::npos);
  EXPECT_EQ(f.owner.CountCode(9), 0);
  EXPECT_TRUE(f.owner.Said(3, "Received 0 job(s) [0]"));
}

TEST(MonitorManagerFetch, AccountWithoutAgentKeyAsksForOneFirst) {
  Fixture f;
  f.owner.creds.agentKey = "";
  f.owner.creds.email = "me@example.com";
  CMonitorManager manager(f.owner);
  manager.GetJobs();
  EXPECT_EQ(f.api.transport.Actions(),
            (std::vector<std::string>{"agentkey", "apikey", "authToken", "addAgent", "getJobs"}));
  EXPECT_EQ(f.owner.creds.agentKey, "AK");
  EXPECT_NE(f.api.transport.Requests()[1].object.find("agentKey=AK&"), std::string::npos);
}

TEST(MonitorManagerFetch, RenewalCodesRestartThePass) {
  const struct {
    const char* what;
    bool stored;  // all stored, else only the API key
    const char* action;
    int code;
    std::vector<std::string> actions;
  } cases[] = {
      {"secret 3", false, "secretkey", 3, {"secretkey", "apikey", "authToken", "addAgent", "getJobs"}},
      {"token 1", true, "authToken", 1, {"getJobs", "authToken", "apikey", "authToken", "getJobs"}},
      {"token 3", true, "authToken", 3, {"getJobs", "authToken", "apikey", "authToken", "getJobs"}},
      {"agent 3",
       false,
       "addAgent",
       3,
       {"secretkey", "authToken", "addAgent", "apikey", "authToken", "addAgent", "getJobs"}},
      {"agent 4",
       false,
       "addAgent",
       4,
       {"secretkey", "authToken", "addAgent", "authToken", "addAgent", "getJobs"}},
      {"jobs 3", true, "getJobs", 3, {"getJobs", "apikey", "authToken", "getJobs"}},
      {"jobs 4", true, "getJobs", 4, {"getJobs", "authToken", "getJobs"}},
      {"jobs 5", true, "getJobs", 5, {"getJobs", "addAgent", "getJobs"}},
  };
  for (const auto& c : cases) {
    Fixture f;
    if (c.stored) {
      f.Stored();
    } else {
      f.owner.creds.apiKey = "K0";
    }
    // The token renewals of "token" cases need a first getJobs that asks for one.
    if (std::string(c.action) == "authToken") f.api.Error("getJobs", 4);
    f.api.Error(c.action, c.code);
    CMonitorManager manager(f.owner);
    manager.GetJobs();
    EXPECT_EQ(f.api.transport.Actions(), c.actions) << c.what;
    EXPECT_EQ(f.owner.CountCode(9), 0) << c.what;
    EXPECT_TRUE(f.owner.Said(3, "Received 0 job(s)")) << c.what;
  }
  // After code 5 the new agent ID goes with the next getJobs.
  Fixture f;
  f.Stored();
  f.api.Error("getJobs", 5);
  CMonitorManager manager(f.owner);
  manager.GetJobs();
  EXPECT_NE(f.api.transport.Requests().back().object.find("&agentId=77&"), std::string::npos);
}

TEST(MonitorManagerFetch, FivePassesUsedUpEndInSilence) {
  Fixture f;
  f.Stored();
  for (int i = 0; i < 6; ++i) f.api.Error("getJobs", 4);
  CMonitorManager manager(f.owner);
  manager.GetJobs();
  EXPECT_EQ(f.api.transport.Actions().size(), 9u);  // 5 getJobs, 4 authToken between them
  EXPECT_EQ(f.owner.CountCode(9), 0);
  EXPECT_EQ(f.owner.CountCode(3), 0);
}

TEST(MonitorManagerFetch, FailuresEndTheFetchWithOneLine) {
  const struct {
    bool stored;
    const char* action;
    const char* line;
  } cases[] = {
      {false, "apikey", "Failed getting new API key. (code: 7, status: 200, error: error 7)"},
      {false, "authToken", "Failed getting new auth token. (code: 7, status: 200, error: error 7)"},
      {false, "addAgent", "Failed getting agent ID. (code: 7, status: 200, error: error 7)"},
      {true, "getJobs", "Failed getting jobs. (code: 7, status: 200, error: error 7)"},
  };
  for (const auto& c : cases) {
    Fixture f;
    if (c.stored) f.Stored();
    f.api.Error(c.action, 7);
    CMonitorManager manager(f.owner);
    manager.GetJobs();
    EXPECT_TRUE(f.owner.Said(9, c.line)) << c.action;
    EXPECT_EQ(f.owner.CountCode(9), 1) << c.action;
    EXPECT_EQ(f.api.transport.Actions().back(), c.action);
  }
  Fixture f;
  f.owner.creds.apiKey = "K0";
  f.api.Error("secretkey", 6);
  CMonitorManager manager(f.owner);
  manager.GetJobs();
  EXPECT_TRUE(f.owner.Said(9, "Failed getting new Secret key. (code: 6, status: 200, error: error 6)"));
}

TEST(MonitorManagerFetch, WorkStoppingMidFetchEndsItSilently) {
  Fixture f;
  f.api.onRequest = [&](const std::string& action) {
    if (action == "authToken") f.owner.working = false;
  };
  f.api.Error("authToken", 7);
  CMonitorManager manager(f.owner);
  manager.GetJobs();
  EXPECT_EQ(f.api.transport.Actions(), (std::vector<std::string>{"apikey", "authToken"}));
  EXPECT_EQ(f.owner.CountCode(9), 0);
}

TEST(MonitorManagerFetch, AbortEndsAHangingRequestAtOnce) {
  Fixture f;
  f.Stored();
  f.api.HangNext("getJobs");
  CMonitorManager manager(f.owner);
  std::thread stopper([&] {
    f.api.transport.WaitForRequests(1);
    std::this_thread::sleep_for(100ms);
    f.owner.working = false;
    manager.Abort();
  });
  auto begin = std::chrono::steady_clock::now();
  manager.GetJobs();
  EXPECT_LT(std::chrono::steady_clock::now() - begin, 3s);
  stopper.join();
  EXPECT_EQ(f.owner.CountCode(9), 0);
  manager.GetJobs();  // stopped: nothing more is asked
  EXPECT_EQ(f.api.transport.Requests().size(), 1u);
}

// ---- jobs ----------------------------------------------------------------------

std::string Job(const std::string& inner) { return "<job>" + inner + "</job>"; }

TEST(CustomJobParsing, Table) {
  const struct {
    std::string text;
    int32_t type;
    uint32_t jobId, monitorId, interval, maxParallel;
  } cases[] = {
      {Job("<id>3</id><type>Edit_Monitor</type><monitor><id>9</id></monitor>"), CustomJob::Edit, 3, 9, 5, 1},
      {Job("<id>3</id><type>add_monitor</type>"), CustomJob::Add, 3, 0, 5, 1},
      {Job("<id>3</id><type>whatever</type>"), CustomJob::Add, 3, 0, 5, 1},
      {Job("<id>3</id>"), CustomJob::Unknown, 3, 0, 5, 1},
      {Job("<id>3</id><type>DELETE_MONITOR</type><monitor><id>4</id></monitor>"), CustomJob::Delete, 3, 4, 5,
       1},
      {Job("<id>3</id><type>update_plugin</type><plugin><maxParallelJobs>0</maxParallelJobs></plugin>"),
       CustomJob::UpdatePlugin, 3, 0, 5, 1},
      {Job("<type>add</type><monitor><runnerFile>SNMPMonitor.exe -x</runnerFile></monitor>"), CustomJob::Add,
       0, 0, 5, 200},
      {Job("<type>add</type><plugin><maxParallelJobs>4</maxParallelJobs></"
           "plugin><monitor><runnerFile>snmpmonitor.exe"
           "</runnerFile></monitor>"),
       CustomJob::Add, 0, 0, 5, 4},
      {Job("<id>4294967295</id><interval>0</interval><type>run</type>"), CustomJob::RunCommand, 0, 0, 5, 1},
      {Job("<id>99999999999</id><interval>99999999999</interval><type>add</type><monitor><id>99999999999</id>"
           "</monitor>"),
       CustomJob::Add, 0, 0, 5, 1},
      {Job("<id>\n  12\n</id><interval> 7 </interval><type>add</type>"), CustomJob::Add, 12, 0, 7, 1},
      {"<job><id>1</id>", CustomJob::Unknown, 0, 0, 5, 1},
      {"<other><id>1</id></other>", CustomJob::Unknown, 0, 0, 5, 1},
  };
  for (const auto& c : cases) {
    std::string summary;
    std::vector<std::string> lines;
    // The platform's parser: MSXML under Wine, the small reader natively.
    CustomJob job = ParseCustomJob(
        c.text, 100, [](int32_t& e) { return platform::create_xml_document(e); }, summary, lines);
    EXPECT_EQ(job.type, c.type) << c.text;
    EXPECT_EQ(job.jobId, c.jobId) << c.text;
    EXPECT_EQ(job.monitorId, c.monitorId) << c.text;
    EXPECT_EQ(job.interval, c.interval) << c.text;
    EXPECT_EQ(job.maxParallelJobs, c.maxParallel) << c.text;
  }
}

TEST(CustomJobParsing, SummaryLineAndMaskedPassword) {
  std::string summary;
  std::vector<std::string> lines;
  auto xml = [](int32_t& e) { return platform::create_xml_document(e); };
  CustomJob job = ParseCustomJob(Job("<id>8</id><interval>2</interval><type>run</type><plugin><name>P</name>"
                                     "</plugin><params><command>c.bat</command><args>-a</args><user>u</user>"
                                     "<pass>secret</pass></params>"),
                                 100, xml, summary, lines);
  EXPECT_EQ(job.password, "secret");
  EXPECT_EQ(job.nextCheck, 100);
  EXPECT_EQ(
      summary,
      "\r\n==> Job ID: '8'; Interval: '2'; Job Type: 'run'; Plugin name: 'P'; Plugin download URL: ''; "
      "Plugin "
      "setup file: ''; Plugin version: ''; MaxParallelJobs: ''; Run command: 'c.bat'; Run args: '-a'; Run "
      "user: 'u'; Run password: '***'");
  EXPECT_TRUE(lines.empty());
  ParseCustomJob(Job("<id>9</id><type>add</type>"), 100, xml, summary, lines);
  EXPECT_EQ(lines, (std::vector<std::string>{"No 'plugin' node for add, edit, update or run type monitor",
                                             "No 'monitor' node for add, edit or remove type monitor"}));
  ParseCustomJob("<nojob/>", 100, xml, summary, lines);
  EXPECT_EQ(summary, "No job node in the XML: '<nojob/>'");
  ParseCustomJob("<job>", 100, xml, summary, lines);
  EXPECT_EQ(summary.rfind("XML parse error '", 0), 0u);
}

std::string Add(uint32_t jobId, uint32_t monitorId, const std::string& runner = "r.bat",
                const std::string& plugin = "P") {
  return Job("<id>" + std::to_string(jobId) + "</id><type>add</type><plugin><name>" + plugin +
             "</name></plugin><monitor><id>" + std::to_string(monitorId) + "</id><runnerFile>" + runner +
             "</runnerFile></monitor>");
}

struct JobsFixture : Fixture {
  JobsFixture() { Stored(); }
  void Serve(const std::vector<std::string>& jobs) {
    std::string body = "<jobs>";
    for (const auto& j : jobs) body += j;
    api.Script("getJobs", body + "</jobs>");
  }
};

TEST(MonitorManagerJobs, MapThreadIndicesAndBothIdSpaces) {
  JobsFixture f;
  CMonitorManager manager(f.owner);
  std::vector<std::string> jobs;
  for (uint32_t i = 1; i <= 32; ++i) jobs.push_back(Add(i, 100 + i));
  jobs.push_back(Add(40, 7));
  jobs.push_back(Job("<id>7</id><type>run</type><params><command>x</command></params>"));
  jobs.push_back(Add(41, 8, ""));  // an empty runner: not stored
  jobs.push_back(Add(0, 9));       // invalid
  f.Serve(jobs);
  manager.GetJobs();
  EXPECT_EQ(manager.Find(CMonitorManager::Kind::Monitor, 101)->ThreadIndex(), 1u);
  EXPECT_EQ(manager.Find(CMonitorManager::Kind::Monitor, 131)->ThreadIndex(), 31u);
  EXPECT_EQ(manager.Find(CMonitorManager::Kind::Monitor, 132)->ThreadIndex(), 1u);  // the 32nd
  ASSERT_NE(manager.Find(CMonitorManager::Kind::Run, 7), nullptr);
  ASSERT_NE(manager.Find(CMonitorManager::Kind::Monitor, 7), nullptr);
  EXPECT_EQ(manager.Find(CMonitorManager::Kind::Monitor, 8), nullptr);
  EXPECT_EQ(manager.Find(CMonitorManager::Kind::Monitor, 9), nullptr);
  EXPECT_EQ(manager.LastJobId(), 41u);
  EXPECT_TRUE(f.owner.Said(3, "Received 36 job(s) [34]"));
  EXPECT_TRUE(f.owner.Said(10, "Received empty runner file for monitor 'P' (monitorid: 8, jobid: 41)"));
  EXPECT_TRUE(f.owner.Said(10, "Received invalid monitor 'P' (monitorid: 9, jobid: 0, runnerFile: r.bat)"));
  EXPECT_EQ(f.owner.summaries.size(), 36u);

  // A replacing add keeps the index; the next fetch asks above the last job ID.
  const uint32_t index = manager.Find(CMonitorManager::Kind::Monitor, 105)->ThreadIndex();
  f.Serve({Add(50, 105, "other.bat"),
           Job("<id>51</id><type>delete_monitor</type><monitor><id>7</id></monitor>"),
           Job("<id>52</id><type>delete_monitor</type><monitor><id>106</id></monitor>")});
  manager.GetJobs();
  EXPECT_NE(f.api.transport.Requests().back().object.find("&lastJobId=41&"), std::string::npos);
  auto replaced = manager.Find(CMonitorManager::Kind::Monitor, 105);
  EXPECT_EQ(replaced->Job().runnerFile, "other.bat");
  EXPECT_EQ(replaced->ThreadIndex(), index);
  // Deleting monitor 7 leaves run job 7 alone.
  EXPECT_EQ(manager.Find(CMonitorManager::Kind::Monitor, 7), nullptr);
  EXPECT_NE(manager.Find(CMonitorManager::Kind::Run, 7), nullptr);
  ASSERT_EQ(manager.Sender(0)->Deletions().size(), 1u);
  EXPECT_EQ(manager.Sender(0)->Deletions()[0].jobIds, "51,52");

  // A run job that ends takes out only its own entry and queues its deletion.
  auto run = manager.Find(CMonitorManager::Kind::Run, 7);
  manager.RemoveJob(manager.Find(CMonitorManager::Kind::Monitor, 105).get(), "x");  // not a run entry
  EXPECT_NE(manager.Find(CMonitorManager::Kind::Monitor, 105), nullptr);
  manager.RemoveJob(run.get(), "done");
  EXPECT_EQ(manager.Find(CMonitorManager::Kind::Run, 7), nullptr);
  EXPECT_EQ(manager.Sender(0)->Deletions().back().jobIds, "7");
  EXPECT_EQ(manager.Sender(0)->Deletions().back().status, "done");
}

TEST(MonitorManagerJobs, TwoUpdatesOfOnePluginKeepTheLater) {
  JobsFixture f;
  std::vector<std::shared_ptr<CCustomMonitor>> started;
  struct Update : CCustomMonitor {
    Update(CMonitorManager* m, CustomJob j, std::vector<std::shared_ptr<CCustomMonitor>>* log)
        : CCustomMonitor(m, std::move(j)), log_(log) {}
    bool StartUpdate() override {
      running_ = true;
      return true;
    }
    bool IsRunning() const override { return running_; }
    std::vector<std::shared_ptr<CCustomMonitor>>* log_;
    bool running_ = false;
  };
  CMonitorManager manager(f.owner, [&](CMonitorManager* m, CustomJob j) {
    return std::make_shared<Update>(m, std::move(j), &started);
  });
  f.Serve({Job("<id>1</id><type>update_plugin</type><plugin><name>P</name><version>1</version></plugin>"),
           Job("<id>2</id><type>update_plugin</type><plugin><name>P</name><version>2</version></plugin>"),
           Job("<id>3</id><type>update_plugin</type><plugin><name></name></plugin>")});
  manager.GetJobs();
  auto updates = manager.Updates();
  ASSERT_EQ(updates.size(), 1u);
  EXPECT_EQ(updates[0]->Job().version, "2");
  EXPECT_TRUE(updates[0]->IsRunning());
}

TEST(MonitorManagerSenders, QueuesAndAgeLimit) {
  Fixture f;
  CMonitorManager manager(f.owner);
  manager.SetCacheLimitMinutes(300);
  EXPECT_EQ(manager.Sender(32)->CacheLimitMinutes(), 300u);
  EXPECT_EQ(manager.Sender(33), nullptr);
  manager.AddResult(1, 2, "P", 3, 10, "r", false);
  manager.AddResult(1, 2, "P", 33, 10, "r", false);  // no such sender: dropped
  EXPECT_EQ(manager.Sender(3)->QueuedResults(), 1u);
  for (int i = 0; i < 1001; ++i) manager.RemoveJobs(std::to_string(i));
  EXPECT_EQ(manager.Sender(0)->QueuedDeletions(), 1000u);
  EXPECT_EQ(manager.Sender(0)->Deletions().front().jobIds, "1");  // the oldest went
}

}  // namespace
