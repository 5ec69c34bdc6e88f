// The worker with its gateway, registry and system replaced by fakes.
#include "agent/MainWorker.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "agent/TextFields.h"
#include "corelib/MonResult2.h"
#include "platform/memory_config_store.h"
#include "tests/unit/fakes/fake_adapter_names.h"
#include "tests/unit/fakes/recording_owner.h"
#include "tests/unit/fakes/worker_fakes.h"

namespace {

// Exposes the work state, so a test can run one exchange without the main loop,
// and a monitor.
class TestWorker : public CMainWorker {
 public:
  using CMainWorker::AddListsToCache;
  using CMainWorker::CMainWorker;
  using CMainWorker::m_cpuMon;
  using CMainWorker::m_httpMon;
  using CMainWorker::SetWorkState;
};

class WorkerTest : public ::testing::Test, protected WorkerFakes {
 protected:
  WorkerTest() { CreateAgentKeys(store); }

  void Put(const char* path, const char* name, const std::string& value) { PutString(store, path, name, value); }

  std::unique_ptr<TestWorker> Make() {
    WorkerSeams seams = SeamsOver(store);
    seams.now = [this] { return now.load(); };
    seams.exchangeLimit = exchangeLimit;
    seams.exchangeStopWait = exchangeStopWait;
    seams.adapters = &adapters;
    auto w = std::make_unique<TestWorker>(seams);
    w->AddListener(&status);
    return w;
  }

  // A worker that holds a session, ready for direct exchanges.
  std::unique_ptr<TestWorker> Authorised() {
    auto w = Make();
    w->SetRegistration("KEY-1", "agent-1");
    w->SetWorkState(CMainWorker::Working);
    w->ProcessAuthorizationResult("SESSION-1");
    EXPECT_TRUE(w->IsAuthorized());
    status.Clear();
    return w;
  }

  platform::MemoryConfigStore store;
  FakeAdapterNames adapters;
  StatusRecorder status;
  std::atomic<time_t> now{1700000000};
  std::chrono::milliseconds exchangeLimit = 50s, exchangeStopWait = 2s;
};

// Runs a hook on every event, on the thread that fired it.
class HookListener : public IStatusListener {
 public:
  explicit HookListener(std::function<void(uint32_t, const std::string&)> hook) : m_hook(std::move(hook)) {}
  void StatusChanged(uint32_t code, const std::string& text) override { m_hook(code, text); }

 private:
  std::function<void(uint32_t, const std::string&)> m_hook;
};

CMonResult2 Sample(uint32_t testID, size_t textSize = 40) {
  CMonResult2 r;
  r.create(0, 4, 1, 0, 1, 1);
  r.init(47, testID, 1);
  r.add(uint32_t{0});
  r.add(1.5);
  r.add(std::string(textSize, 'm').c_str());
  return r;
}

TEST_F(WorkerTest, HeaderBlocksForEachKindOfRequest) {
  auto w = Make();
  const std::string identity =
      "Mon-Platform: win64\r\nMon-Version: 4.02.14\r\nMon-OSVersion: Microsoft Windows 7 (build 7601) 64-bit\r\n"
      "Mon-Hostname: testhost\r\nMon-Builddate: Apr 21 2017 12:37:47\r\n";

  w->SetRegistration("", "agent-1");  // no key: the account block, empty password digest
  EXPECT_EQ(w->BuildRequestHeaders(true, 0, 0),
            "Content-Type: application/octet-stream\r\nMon-EMail: \r\nMon-Pass: "
            "d41d8cd98f00b204e9800998ecf8427e\r\n"
            "Mon-AName: agent-1\r\n" +
                identity);

  w->SetRegistration("KEY-1", "agent-1");
  EXPECT_EQ(w->BuildRequestHeaders(true, 0, 0),
            "Content-Type: application/octet-stream\r\nMon-AKey: KEY-1\r\nMon-AName: agent-1\r\n" + identity);

  w->ProcessAuthorizationResult("SESSION-1");
  EXPECT_EQ(w->BuildRequestHeaders(false, 3141592653u, 4000),
            "Content-Type: application/octet-stream\r\nMon-SessionID: SESSION-1\r\nMon-Compression: 4000\r\n"
            "Mon-CheckSum: 3141592653\r\nMon-Platform: win64\r\nMon-Version: 4.02.14\r\n");
}

TEST_F(WorkerTest, AccountPasswordIsSentAsStored) {
  Put(kAgentKey, "E-Mail", "ops@example.org");
  Put(kAgentKey, "Password", "0cc175b9c0f1b6a831c399e269772661");
  auto w = Make();  // no Agent Name: no automatic start
  EXPECT_EQ(w->GetWorkState(), CMainWorker::Stopped);
  EXPECT_EQ(w->HashedPassword(), "0cc175b9c0f1b6a831c399e269772661");
  Put(kAgentKey, "Password", " \t ");
  EXPECT_EQ(Make()->HashedPassword(), "d41d8cd98f00b204e9800998ecf8427e");
}

TEST_F(WorkerTest, BodyCompressionAndChecksumRules) {
  struct Case {
    const char* name;
    bool available, failCompress, zeroChecksum;
    bool compressed;
    bool rawChecksum;  // checksum of the raw bytes rather than none
  };
  const Case cases[] = {
      {"compressed", true, false, false, true, false},
      {"no zlib", false, false, false, false, false},
      {"zero checksum", true, false, true, false, false},
      {"compression fails", true, true, false, false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    zlib.available = c.available;
    zlib.failCompress = c.failCompress;
    zlib.zeroChecksum = c.zeroChecksum;
    auto w = Authorised();
    CMonResult2 a = Sample(1), b = Sample(2);
    w->AddToCache(&a);
    w->AddToCache(&b);
    std::vector<uint8_t> raw(static_cast<const uint8_t*>(a.get_pointer()),
                             static_cast<const uint8_t*>(a.get_pointer()) + a.get_size());
    raw.insert(raw.end(), static_cast<const uint8_t*>(b.get_pointer()),
               static_cast<const uint8_t*>(b.get_pointer()) + b.get_size());

    size_t before = exchange.Requests().size();
    w->SendPerfData();
    auto requests = exchange.Requests();
    ASSERT_EQ(requests.size(), before + 1);
    const GatewayRequest& r = requests.back();
    const std::string& h = r.headers;
    if (c.compressed) {
      std::vector<uint8_t> back(raw.size());
      uLongf n = back.size();
      ASSERT_EQ(uncompress(back.data(), &n, r.body.data(), r.body.size()), Z_OK);
      EXPECT_EQ(back, raw);
      uint32_t sum = static_cast<uint32_t>(adler32(1, r.body.data(), static_cast<uInt>(r.body.size())));
      EXPECT_NE(h.find("Mon-Compression: " + std::to_string(raw.size()) + "\r\n"), std::string::npos) << h;
      EXPECT_NE(h.find("Mon-CheckSum: " + std::to_string(sum) + "\r\n"), std::string::npos) << h;
    } else {
      EXPECT_EQ(r.body, raw);
      EXPECT_NE(h.find("Mon-Compression: 0\r\n"), std::string::npos) << h;
      uint32_t sum = c.rawChecksum ? static_cast<uint32_t>(adler32(1, raw.data(), static_cast<uInt>(raw.size()))) : 0;
      EXPECT_NE(h.find("Mon-CheckSum: " + std::to_string(sum) + "\r\n"), std::string::npos) << h;
    }
    EXPECT_EQ(w->CachedResults(), 0u);  // the 200 reply confirmed the batch
  }
}

TEST_F(WorkerTest, FailedExchangeKeepsTheBatchForTheNextOne) {
  auto w = Authorised();
  CMonResult2 a = Sample(1);
  w->AddToCache(&a);
  GatewayReply outage;
  outage.failure = "Data sending failed on opening http session for the server.";
  outage.error = 12029;
  exchange.Queue(outage);
  now += 121;  // past the quiet time that follows the authorisation
  w->SendPerfData();
  EXPECT_EQ(w->CachedResults(), 1u);
  EXPECT_TRUE(status.Has(9, "Data sending failed on opening http session for the server."));
  w->SendPerfData();  // 200
  auto requests = exchange.Requests();
  EXPECT_EQ(requests[requests.size() - 1].body, requests[requests.size() - 2].body);
  EXPECT_EQ(w->CachedResults(), 0u);
  EXPECT_TRUE(status.Has(5, "Connection to server re-established."));
}

TEST_F(WorkerTest, CutReplyBodyIsConfirmedButNotExecuted) {
  auto w = Authorised();
  CMonResult2 a = Sample(1);
  w->AddToCache(&a);
  GatewayReply cut;
  cut.status = 200;
  cut.body = "POL\t0\t3";  // "POL\t0\t30" cut by a reset
  cut.bodyCut = true;
  cut.failure = "Data sending failed on reading response from the server.";
  exchange.Queue(cut);
  const uint32_t poll = w->GetPollInterval();
  now += 121;
  w->SendPerfData();
  EXPECT_EQ(w->CachedResults(), 0u) << "the gateway answered 200: the batch is delivered";
  EXPECT_EQ(w->GetPollInterval(), poll) << "the cut line was executed";
  EXPECT_TRUE(status.Has(9, "Data sending failed on reading response from the server."));
}

TEST_F(WorkerTest, EmptyCacheStillExchangesWithoutBody) {
  auto w = Authorised();
  w->SendPerfData();
  const GatewayRequest r = exchange.Requests().back();
  EXPECT_TRUE(r.body.empty());
  EXPECT_NE(r.headers.find("Mon-Compression: 0\r\nMon-CheckSum: 0\r\n"), std::string::npos);
}

TEST_F(WorkerTest, ServerErrorsAndSessionEnd) {
  struct Case {
    const char* name;
    GatewayReply reply;
    uint32_t code;
    std::string text;
  };
  GatewayReply s401;
  s401.status = 401;
  GatewayReply s403;
  s403.status = 403;
  s403.body = "bad key";
  GatewayReply s500;
  s500.status = 500;
  const Case cases[] = {
      {"401", s401, 11, "Server error 401 received"},
      {"403 with body", s403, 11, "Server error 403 received. bad key"},
      {"500", s500, 9, "Server error 500 received"},
      {"server-side authorisation error", SessionReply("111111"), 9, "Server error 200 received"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto w = Make();
    w->SetRegistration("KEY-1", "agent-1");
    w->SetWorkState(CMainWorker::Working);
    status.Clear();
    exchange.Queue(c.reply);
    w->SendPerfData();
    EXPECT_FALSE(w->IsAuthorized());
    EXPECT_TRUE(status.Has(c.code, c.text)) << status.Events().size();
  }
  EXPECT_TRUE(status.Has(2, "Internal Error on server during authorization."));

  auto w = Authorised();
  w->ProcessServerReply("111111", 0, 200);
  EXPECT_FALSE(w->IsAuthorized());
  EXPECT_EQ(w->GetSessionID(), "");
}

TEST_F(WorkerTest, SuccessfulAuthorisationPersistsTheRegistration) {
  auto w = Make();
  w->SetRegistration("KEY-9", "agent-9");
  w->SetWorkState(CMainWorker::Working);
  exchange.Queue(SessionReply("S-9"));
  w->SendPerfData();
  EXPECT_TRUE(status.Has(3, "Authorization succeeded."));
  EXPECT_EQ(w->GetSessionID(), "S-9");
  AgentSettings settings(store);
  EXPECT_EQ(settings.GetAgentKey().value_or(""), "KEY-9");
  EXPECT_EQ(settings.GetAgentName().value_or(""), "agent-9");
}

TEST_F(WorkerTest, RepeatedFailuresReachListenersOncePer120Seconds) {
  auto w = Authorised();
  now += 1000;
  w->NotifyStatus(9, std::string("first"));
  now += 60;
  w->NotifyStatus(9, std::string("suppressed"));
  w->NotifyStatus(2, std::string("suppressed too"));
  w->NotifyStatus(10, std::string("other codes pass"));
  now += 61;
  w->NotifyStatus(9, std::string("after two minutes"));
  std::vector<std::string> seen;
  for (auto& e : status.Events()) seen.push_back(e.second);
  EXPECT_EQ(seen, (std::vector<std::string>{"first", "other codes pass", "after two minutes"}));
  EXPECT_EQ(w->GetLastStatusCode(), 9u);

  w->ProcessServerReply("111111", 0, 200);  // not authorised: nothing is held back
  status.Clear();
  w->NotifyStatus(9, std::string("a"));
  w->NotifyStatus(9, std::string("b"));
  EXPECT_EQ(status.Events().size(), 2u);
}

TEST_F(WorkerTest, StatusCodesSixSevenTenLeaveTheLastCode) {
  auto w = Make();
  EXPECT_EQ(w->GetLastStatusCode(), 4u);
  w->NotifyStatus(6, std::string("x"));
  w->NotifyStatus(7, std::wstring(L"y"));
  w->NotifyStatus(10, std::string("z"));
  EXPECT_EQ(w->GetLastStatusCode(), 4u);
  w->NotifyStatus(8, std::string("Service is stopped."));
  EXPECT_EQ(w->GetLastStatusCode(), 8u);
  status.Clear();
  w->NotifyStatus(3, std::string("nobody listens after 8"));
  EXPECT_TRUE(status.Events().empty());
}

TEST(MainLoopWait, FollowsPollIntervalAndCache) {
  struct Case {
    uint32_t poll;
    size_t cached;
    int64_t since;
    uint32_t wait, keep;
  } cases[] = {
      {0, 0, 0, 1, 60}, {0, 5, 0, 1, 60}, {60, 3, 0, 1, 60}, {60, 0, 0, 60, 60},
      {60, 0, 45, 15, 60}, {60, 0, 60, 1, 60}, {60, 0, 500, 1, 60}, {120, 0, 1, 119, 120},
  };
  for (const Case& c : cases) {
    MainLoopWait w = ComputeMainLoopWait(c.poll, c.cached, c.since);
    EXPECT_EQ(w.seconds, c.wait) << c.poll << " " << c.cached << " " << c.since;
    EXPECT_EQ(w.pollInterval, c.keep);
  }
}

TEST_F(WorkerTest, CommandsChangeTheSettings) {
  auto w = Authorised();
  w->ProcessCommands("POL\t0\t120\nBFS\t1000\nCLT\t30\n");
  EXPECT_EQ(w->GetPollInterval(), 120u);
  EXPECT_EQ(w->GetBufferSize(), 16384u);
  EXPECT_EQ(w->GetCacheLimitMinutes(), 60u);

  w->ProcessCommands("POL\t120\nBFS\t999999\nCLT\tx\t20000\n\nRPL\r\nUNKNOWN\t1\t2");
  EXPECT_EQ(w->GetPollInterval(), 120u);  // two fields: ignored
  EXPECT_EQ(w->GetBufferSize(), 262144u);
  EXPECT_EQ(w->GetCacheLimitMinutes(), 14400u);

  w->ProcessCommands("POL\t0\tabc\nBFS\t-5\nCLT\t\t");
  EXPECT_EQ(w->GetPollInterval(), 0u);  // unreadable: the next wake makes it 60
  EXPECT_EQ(w->GetBufferSize(), 16384u);
  EXPECT_EQ(w->GetCacheLimitMinutes(), 60u);

  w->ProcessCommands("POL\t0\t-30");
  EXPECT_EQ(w->GetPollInterval(), 0u);  // negative is no interval at all

  w->ProcessCommands("UPD\t4.03.01");
  EXPECT_EQ(w->GetUpgradeVersion(), "");
  w->ProcessCommands("UPD\t4.03.01\tdownloads.example.org/agent.zip");
  EXPECT_EQ(w->GetUpgradeVersion(), "4.03.01");
  EXPECT_EQ(w->GetUpgradeLocation(), "https://downloads.example.org/agent.zip");
  w->ProcessCommands("UPD\t4.03.02\tHTTPS://mirror/agent.zip\textra");
  EXPECT_EQ(w->GetUpgradeLocation(), "HTTPS://mirror/agent.zip");

  const std::vector<int32_t> initial(9, 300), minute(9, 60);
  EXPECT_EQ(w->CheckPeriods(), initial);
  w->ProcessCommands("CHK\t0\t0\nCHK\t0\t-5\nCHK\t60");
  EXPECT_EQ(w->CheckPeriods(), initial);  // zero, negative and short lines change nothing
  w->ProcessCommands("CHK\t0\t60");
  EXPECT_EQ(w->CheckPeriods(), minute);

  EXPECT_TRUE(w->IsAuthorized());
  w->ProcessCommands("111111");
  EXPECT_FALSE(w->IsAuthorized());
}

TEST(TextFields, SplittingRule) {
  using V = std::vector<std::string>;
  struct Case {
    const char* text;
    char sep;
    V pieces;
  } cases[] = {
      {"", '\t', {}},
      {"a", '\t', {"a"}},
      {"a\tb", '\t', {"a", "b"}},
      {"a\t\tb", '\t', {"a", "", "b"}},
      {"a\t", '\t', {"a"}},
      {"a\t\t", '\t', {"a", ""}},
      {"\tx", '\t', {"\tx"}},  // the first character always belongs to the first piece
      {"\t", '\t', {"\t"}},
      {"L1\n\nL3\r\n", '\n', {"L1", "", "L3\r"}},
  };
  for (const Case& c : cases) EXPECT_EQ(SplitText(c.text, c.sep), c.pieces) << c.text;
}

TEST(TextFields, NumbersAndUrls) {
  EXPECT_EQ(ReadNumber("  42abc"), 42);
  EXPECT_EQ(ReadNumber("-7"), -7);
  EXPECT_EQ(ReadNumber("+"), 0);
  EXPECT_EQ(ReadNumber("x1"), 0);
  EXPECT_EQ(ReadNumber("99999999999999"), 2147483647);
  EXPECT_EQ(ReadNumber("-99999999999999"), -2147483648LL);

  struct Case {
    const char* url;
    bool ok;
    const char* host;
    const char* path;
    uint16_t port;
    bool secure;
  } cases[] = {
      {"http://127.0.0.1:8080/gw/agent", true, "127.0.0.1", "/gw/agent", 8080, false},
      {"HTTPS://gw.example.org/fcgi-bin/agentgateway", true, "gw.example.org", "/fcgi-bin/agentgateway", 443, true},
      {"http://host", true, "host", "/", 80, false},
      {"https://[::1]:9443/x?y=1", true, "[::1]", "/x?y=1", 9443, true},
      {"ftp://host/", false, "", "", 0, false},
      {"http://:80/", false, "", "", 0, false},
      {"http://host:99999/", false, "", "", 0, false},
      {"http://host:/", false, "", "", 0, false},
      {"gateway.example.org", false, "", "", 0, false},
  };
  for (const Case& c : cases) {
    GatewayAddress a;
    ASSERT_EQ(SplitGatewayUrl(c.url, a), c.ok) << c.url;
    if (!c.ok) continue;
    EXPECT_EQ(a.host, c.host);
    EXPECT_EQ(a.path, c.path);
    EXPECT_EQ(a.port, c.port);
    EXPECT_EQ(a.secure, c.secure);
  }
}

TEST_F(WorkerTest, ChangedInventoriesAreSentDrivesFirstAndAllAgainAfterRPL) {
  disk.Set("D:\\", FakeDiskProbe::Drive());
  disk.Set("C:\\", FakeDiskProbe::Drive());
  process.Set({FakeProcessProbe::Named(0, "[System Process]"), FakeProcessProbe::Named(4, "System"),
               FakeProcessProbe::Named(8, "svchost.exe")});
  zlib.available = false;  // the body is the records as they are
  auto w = Authorised();
  // The type and text of each record in the next report.
  auto sent = [&] {
    w->AddListsToCache();
    w->SendPerfData();
    const std::vector<uint8_t> body = exchange.Requests().back().body;
    std::vector<std::pair<uint32_t, std::string>> lists;
    for (size_t at = 0; at + 4 <= body.size();) {
      UdcView r = udc_view_detail::Read(body.data() + at);
      lists.emplace_back(r.ui32.at(0), r.str.at(0));
      uint32_t size;
      memcpy(&size, body.data() + at, 4);
      at += size;
    }
    return lists;
  };
  adapters.Queue({{{"lo", "eth0"}, ""}});
  using Lists = std::vector<std::pair<uint32_t, std::string>>;
  const Lists all = {{45, "C\tD\t"}, {39, "eth0\tlo\t"}, {42, "System\tsvchost.exe\t"}};
  EXPECT_EQ(sent(), all);
  EXPECT_EQ(sent(), Lists());
  w->ProcessCommands("RPL");
  EXPECT_EQ(sent(), all);
  process.Set({FakeProcessProbe::Named(4, "System")});
  EXPECT_EQ(sent(), (Lists{{42, "System\t"}}));
}

TEST_F(WorkerTest, TheHttpMonitorHasTheStoredProxyFromTheStartAndEveryChange) {
  Put(kSettingsKey, "Proxy", "127.0.0.1:3128");
  auto w = Make();
  EXPECT_EQ(w->m_httpMon.GetProxy(), "");
  w->SetRegistration("KEY-1", "agent-1");
  ASSERT_TRUE(w->StartWork());
  EXPECT_EQ(w->m_httpMon.GetProxy(), "127.0.0.1:3128");
  w->SetProxy("10.0.0.1:8080");
  EXPECT_EQ(w->m_httpMon.GetProxy(), "10.0.0.1:8080");
  w->SetProxy("");
  EXPECT_EQ(w->m_httpMon.GetProxy(), "");
  EXPECT_TRUE(w->StopAllWorks());
}

// ---- the main loop, live --------------------------------------------------------

TEST_F(WorkerTest, StartAndStopMessages) {
  Put(kAgentKey, "E-Mail", "ops@example.org");
  auto w = Make();
  std::string message;
  EXPECT_FALSE(w->StartWork(&message));
  EXPECT_EQ(message, "The Agent Key is empty.");
  w->SetRegistration("KEY-1", "");
  EXPECT_FALSE(w->StartWork(&message));
  EXPECT_EQ(message, "The Agent Name is empty.");
  EXPECT_TRUE(w->StopAllWorks(&message));
  EXPECT_EQ(message, "Agent is already stopped.");

  w->SetRegistration("KEY-1", "agent-1");
  EXPECT_TRUE(w->StartWork(&message));
  EXPECT_TRUE(status.Has(5, "Initialization completed"));
  EXPECT_TRUE(w->StartWork(&message));
  EXPECT_EQ(message, "Halvren is already running.");
  EXPECT_TRUE(w->StopAllWorks());
  EXPECT_EQ(w->GetWorkState(), CMainWorker::Stopped);
  EXPECT_TRUE(status.Has(4, "All monitors are stopped."));
}

TEST_F(WorkerTest, RegisteredAgentStartsByItselfAndAuthorisesAfterAboutASecond) {
  Put(kAgentKey, "Agent Key", "KEY-1");
  Put(kAgentKey, "Agent Name", "agent-1");
  exchange.Queue(SessionReply("S-1"));
  auto started = std::chrono::steady_clock::now();
  auto w = Make();
  EXPECT_EQ(w->GetWorkState(), CMainWorker::Working);
  ASSERT_TRUE(exchange.WaitForRequests(1, 5s));
  auto first = std::chrono::steady_clock::now() - started;
  EXPECT_LT(first, 2500ms);
  EXPECT_NE(exchange.Requests()[0].headers.find("Mon-AKey: KEY-1\r\n"), std::string::npos);
  EXPECT_EQ(w->GetPollInterval(), 60u);
  ASSERT_TRUE(exchange.WaitForRequests(2, 10s));  // the second exchange carries the first results
  EXPECT_NE(exchange.Requests()[1].headers.find("Mon-SessionID: S-1\r\n"), std::string::npos);
  EXPECT_TRUE(status.Has(10, "Authorizing..."));
  EXPECT_TRUE(w->StopAllWorks());
}

TEST_F(WorkerTest, RefusedAuthorisationStopsAllWorkPromptly) {
  Put(kAgentKey, "Agent Key", "KEY-1");
  Put(kAgentKey, "Agent Name", "agent-1");
  exchange.Queue(SessionReply("666666"));
  auto w = Make();
  ASSERT_TRUE(status.WaitFor(1, 5s));
  ASSERT_TRUE(status.WaitFor(4, 5s));
  for (int i = 0; i < 50 && w->GetWorkState() != CMainWorker::Stopped; ++i) std::this_thread::sleep_for(20ms);
  EXPECT_EQ(w->GetWorkState(), CMainWorker::Stopped);
  EXPECT_TRUE(status.Has(1, "Authorization Failed. All monitoring processes are stopped."));
  for (auto& e : status.Events()) EXPECT_NE(e.first, 9u) << e.second;  // no false time-out
}

TEST_F(WorkerTest, StopDuringAHangingExchangeReturnsPromptly) {
  Put(kAgentKey, "Agent Key", "KEY-1");
  Put(kAgentKey, "Agent Name", "agent-1");
  exchange.Hang(true);
  auto w = Make();
  ASSERT_TRUE(exchange.WaitForRequests(1, 5s));
  auto before = std::chrono::steady_clock::now();
  EXPECT_TRUE(w->StopAllWorks());
  EXPECT_LT(std::chrono::steady_clock::now() - before, 2s);
  EXPECT_EQ(w->GetWorkState(), CMainWorker::Stopped);
  for (auto& e : status.Events()) EXPECT_NE(e.first, 9u) << e.second;
}

TEST_F(WorkerTest, UpgradeFolderIsRemovedOnlyInsideTheTempFolder) {
  Put(kSettingsKey, "UpgradePath", "C:\\Temp\\~monAB12.tmp");
  Put(kAgentKey, "Agent Key", "KEY-1");
  Put(kAgentKey, "Agent Name", "agent-1");
  {
    auto w = Make();
    ASSERT_TRUE(exchange.WaitForRequests(1, 5s));
    for (int i = 0; i < 100 && AgentSettings(store).GetUpgradePath(); ++i) std::this_thread::sleep_for(20ms);
    w->StopAllWorks();
  }
  EXPECT_EQ(system.deleted, std::vector<std::string>{"C:\\Temp\\~monAB12.tmp"});
  EXPECT_FALSE(AgentSettings(store).GetUpgradePath());

  Put(kSettingsKey, "UpgradePath", "C:\\Windows");
  {
    auto w = Make();
    ASSERT_TRUE(exchange.WaitForRequests(2, 5s));
    for (int i = 0; i < 100 && AgentSettings(store).GetUpgradePath(); ++i) std::this_thread::sleep_for(20ms);
    w->StopAllWorks();
  }
  EXPECT_EQ(system.deleted.size(), 1u);
  EXPECT_FALSE(AgentSettings(store).GetUpgradePath());  // the value goes anyway
}

TEST(UpgradeFolder, OnlyAPlainDirectChildNamedMon) {
  const struct {
    const char* temp;
    const char* path;
    bool removable;
  } cases[] = {
      {"C:\\Temp\\", "C:\\Temp\\~monAB12.tmp", true},
      {"C:\\Temp", "c:\\temp\\~MONab12.tmp", true},
      {"C:\\Temp\\", "C:\\Temp\\~mon..\\..\\Windows", false},
      {"C:\\Temp\\", "C:\\Temp\\..\\Windows", false},
      {"C:\\Temp\\", "C:\\Temp\\~mon*", false},
      {"C:\\Temp\\", "C:\\Temp\\~mon?.tmp", false},
      {"C:\\Temp\\", "C:\\Temp\\a\\~monAB12.tmp", false},
      {"C:\\Temp\\", "C:\\Temp\\~monAB12.tmp\\inner", false},
      {"C:\\Temp\\", "C:\\Temp\\upgrade-4.03", false},
      {"C:\\Temp\\", "C:\\Temp\\~mon", false},
      {"C:\\Temp\\", "C:\\Temp\\~monAB12.tmp:stream", false},
      {"C:\\Temp\\", "C:\\Temporary\\~monAB12.tmp", false},
      {"", "\\~monAB12.tmp", false},
  };
  for (const auto& c : cases)
    EXPECT_EQ(IsUpgradeFolder(c.temp, c.path), c.removable) << c.temp << " " << c.path;
}

// ---- exchanges, stops and listeners at their edges -------------------------------

TEST_F(WorkerTest, AuthorisationNeitherCarriesNorConfirmsTheFailedBatch) {
  const std::function<void(TestWorker&)> loseTheSession[] = {
      [](TestWorker& w) { w.SetRegistration("KEY-2", "agent-1"); },
      [](TestWorker& w) {
        w.StopAllWorks();
        w.SetWorkState(CMainWorker::Working);
      },
  };
  for (const auto& lose : loseTheSession) {
    auto w = Authorised();
    for (uint32_t id : {1u, 2u, 3u}) {
      CMonResult2 r = Sample(id);
      w->AddToCache(&r);
    }
    GatewayReply failed;
    failed.status = 500;
    exchange.Queue(failed);
    w->SendPerfData();
    const std::vector<uint8_t> batch = exchange.Requests().back().body;
    ASSERT_FALSE(batch.empty());
    lose(*w);
    ASSERT_FALSE(w->IsAuthorized());

    exchange.Queue(SessionReply("SESSION-2", 200, "POL\t0\t90"));
    w->SendPerfData();
    EXPECT_TRUE(w->IsAuthorized());
    EXPECT_TRUE(exchange.Requests().back().body.empty());
    EXPECT_EQ(w->CachedResults(), 3u);     // the accepted authorisation confirmed nothing
    EXPECT_EQ(w->GetPollInterval(), 90u);  // but its body was obeyed

    w->SendPerfData();  // 200
    EXPECT_EQ(exchange.Requests().back().body, batch);
    EXPECT_EQ(w->CachedResults(), 0u);
  }
}

TEST_F(WorkerTest, StopDuringAReplyLeavesNoMonitorRunningAndNoNewSetting) {
  Put(kAgentKey, "Agent Key", "KEY-1");
  Put(kAgentKey, "Agent Name", "agent-1");
  HookListener slow([](uint32_t, const std::string& text) {
    if (text.rfind("mon_cpu: processing test", 0) == 0) std::this_thread::sleep_for(300ms);
  });
  exchange.Queue(SessionReply("SESSION-1"));
  GatewayReply tests;
  tests.status = 200;
  tests.body = "CUA\t1\t1\t-1\t-1\t-1\t-1\t-1\nPOL\t0\t120";
  exchange.Queue(tests);
  auto w = Make();
  w->AddListener(&slow);
  ASSERT_TRUE(exchange.WaitForRequests(2, 10s));  // the first data exchange: its reply is being processed
  std::this_thread::sleep_for(100ms);
  EXPECT_TRUE(w->StopAllWorks());
  EXPECT_FALSE(w->m_cpuMon.IsRunning());
  EXPECT_EQ(w->m_cpuMon.TestCount(), 0u);
  EXPECT_EQ(w->GetPollInterval(), 0u);
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(w->GetPollInterval(), 0u);
  EXPECT_EQ(w->GetWorkState(), CMainWorker::Stopped);
}

TEST_F(WorkerTest, ExchangeThatIgnoresAbortIsWaitedForNotReplaced) {
  Put(kAgentKey, "Agent Key", "KEY-1");
  Put(kAgentKey, "Agent Name", "agent-1");
  exchangeLimit = 300ms;
  exchangeStopWait = 300ms;
  exchange.Hang(true, /*ignoreAbort=*/true, 4s);
  auto w = Make();
  CMonResult2 r = Sample(1);
  w->AddToCache(&r);                    // keeps the loop waking every second
  ASSERT_TRUE(status.WaitFor(9, 5s));   // the first exchange timed out
  std::this_thread::sleep_for(1500ms);  // the next pass finds it still running
  EXPECT_EQ(exchange.Requests().size(), 1u);
  auto before = std::chrono::steady_clock::now();
  EXPECT_TRUE(w->StopAllWorks());
  auto took = std::chrono::steady_clock::now() - before;
  EXPECT_LT(took, 1500ms) << std::chrono::duration_cast<std::chrono::milliseconds>(took).count();
  EXPECT_EQ(w->GetWorkState(), CMainWorker::Stopped);
  w.reset();  // waits for the exchange to return by itself
  EXPECT_EQ(exchange.Requests().size(), 1u);
}

TEST_F(WorkerTest, DestroyedDuringAnotherThreadsStopOverACheckThatIgnoresIt) {
  Put(kAgentKey, "Agent Key", "KEY-1");
  Put(kAgentKey, "Agent Name", "agent-1");
  std::atomic<bool> checking{false};
  HookListener stubborn([&](uint32_t, const std::string& text) {
    if (text.rfind("mon_cpu: checking", 0) == 0) {
      checking = true;
      std::this_thread::sleep_for(1500ms);  // deaf to the stop
    }
  });
  auto w = Make();
  w->AddListener(&stubborn);
  w->ProcessCommands("CUA\t1\t1\t-1\t-1\t-1\t-1\t-1");
  for (int i = 0; i < 300 && !checking; ++i) std::this_thread::sleep_for(10ms);
  ASSERT_TRUE(checking);
  CMainWorker* const raw = w.get();  // the pointer itself is not shared with the reset below
  std::thread stopper([raw] { raw->StopAllWorks(); });
  std::this_thread::sleep_for(50ms);
  w.reset();
  stopper.join();
}

TEST_F(WorkerTest, ReplyBodyEndsAtItsFirstZeroByte) {
  auto w = Authorised();
  GatewayReply cut;
  cut.status = 200;
  cut.body = std::string("POL\t0\t5\0\nPOL\t0\t1", 17);
  exchange.Queue(cut);
  w->SendPerfData();
  EXPECT_EQ(w->GetPollInterval(), 5u);

  GatewayReply end;
  end.status = 200;
  end.body = std::string("111111\0x", 8);
  exchange.Queue(end);
  w->SendPerfData();
  EXPECT_FALSE(w->IsAuthorized());
}

TEST_F(WorkerTest, OnlyAPlainSessionIdAuthorises) {
  const struct {
    std::string id;
    bool accepted;
  } cases[] = {
      {"SESSION-1", true},
      {"a b", false},
      {"x\r\nX-Injected: 1", false},
      {"\x01", false},
      {std::string(127, 's'), true},
      {std::string(128, 's'), false},
      {"x\r", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.id);
    auto w = Make();
    w->SetRegistration("KEY-1", "agent-1");
    w->SetWorkState(CMainWorker::Working);
    exchange.Queue(SessionReply(c.id));
    w->SendPerfData();
    EXPECT_EQ(w->IsAuthorized(), c.accepted);
    if (c.accepted) {
      w->SendPerfData();
      EXPECT_NE(exchange.Requests().back().headers.find("Mon-SessionID: " + c.id + "\r\n"),
                std::string::npos);
    }
  }
}

TEST_F(WorkerTest, ATenThousandTestsCapPerMonitor) {
  auto w = Authorised();
  w->m_cpuMon.SetOwner(w.get());  // as StartWork does
  std::string reply;
  for (int id = 1; id <= 100000; ++id) reply += "CUA\t" + std::to_string(id) + "\t1\t-1\t-1\t-1\t-1\t-1\n";
  auto before = std::chrono::steady_clock::now();
  w->ProcessCommands(reply);
  EXPECT_LT(std::chrono::steady_clock::now() - before, 60s);
  EXPECT_EQ(w->m_cpuMon.TestCount(), 10000u);
  EXPECT_TRUE(status.Has(10, "mon_cpu: test 10001 refused: the monitor holds 10000 tests."));
  w->ProcessCommands("CUM\t10000\t7\t50\t-1\t-1\t-1\t-1");  // a held test can still change
  EXPECT_EQ(w->m_cpuMon.Tests().back().lid, 7);
  w->StopAllWorks();
}

TEST_F(WorkerTest, ListenersChangedFromTheirOwnCallbacks) {
  auto w = Make();
  std::vector<std::string> calls;
  HookListener* a = nullptr;
  HookListener b([&](uint32_t code, const std::string&) { calls.push_back("B" + std::to_string(code)); });
  HookListener c([&](uint32_t code, const std::string&) { calls.push_back("C" + std::to_string(code)); });
  HookListener first([&](uint32_t code, const std::string&) {
    calls.push_back("A" + std::to_string(code));
    w->RemoveListener(a);
    w->RemoveListener(&b);
    w->AddListener(&c);
  });
  a = &first;
  w->RemoveListener(&status);
  w->AddListener(a);
  w->AddListener(&b);
  w->NotifyStatus(3, std::string("Authorization succeeded."));
  w->NotifyStatus(8, std::string("Service is stopped."));
  w->NotifyStatus(5, std::string("Initialization completed"));  // the list was emptied by 8
  EXPECT_EQ(calls, (std::vector<std::string>{"A3", "C8"}));
  EXPECT_EQ(w->GetLastStatusCode(), 5u);
}

TEST_F(WorkerTest, SlowListenerHoldsUpNeitherTheLastCodeNorSubscriptions) {
  auto w = Make();
  std::atomic<bool> inside{false};
  HookListener slow([&](uint32_t, const std::string&) {
    inside = true;
    std::this_thread::sleep_for(1s);
  });
  w->AddListener(&slow);
  std::thread firing([&] { w->NotifyStatus(9, std::string("failure")); });
  for (int i = 0; i < 200 && !inside; ++i) std::this_thread::sleep_for(5ms);
  auto before = std::chrono::steady_clock::now();
  EXPECT_EQ(w->GetLastStatusCode(), 4u);
  StatusRecorder late;
  w->AddListener(&late);
  EXPECT_LT(std::chrono::steady_clock::now() - before, 200ms);
  w->RemoveListener(&slow);  // waits for the firing: never called again after this
  EXPECT_GE(std::chrono::steady_clock::now() - before, 500ms);
  firing.join();
  w->NotifyStatus(5, std::string("again"));
  EXPECT_EQ(w->GetLastStatusCode(), 5u);
  EXPECT_TRUE(late.Has(5, "again"));
  w->RemoveListener(&late);
}

}  // namespace
