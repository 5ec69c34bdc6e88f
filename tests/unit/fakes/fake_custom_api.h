// A fake custom-monitor API over FakeHttpTransport, and a fake owner of the
// custom-monitor side. The API answers each action with the next scripted
// reply for it, else with a good default; it can hang an action once.
#pragma once

#include <atomic>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "agent/custom/CustomOwner.h"
#include "tests/unit/fakes/fake_http.h"

class FakeCustomApi {
 public:
  FakeCustomApi() : transport([this](const platform::HttpExchangeSpec& spec) { return Answer(spec); }) {}

  // The next `action` request gets `body` (an "<error code=..>" or anything).
  void Script(const std::string& action, const std::string& body) {
    std::lock_guard<std::mutex> hold(lock);
    scripted[action].push_back(body);
  }
  void Error(const std::string& action, int code) {
    Script(action, "<error code=\"" + std::to_string(code) + "\">error " + std::to_string(code) + "</error>");
  }
  void HangNext(const std::string& action) {
    std::lock_guard<std::mutex> hold(lock);
    hang = action;
  }
  void SetJobs(std::string body) {
    std::lock_guard<std::mutex> hold(lock);
    jobs = std::move(body);
  }
  std::function<void(const std::string& action)> onRequest;

  FakeHttpTransport transport;

 private:
  static std::string ActionOf(const std::string& object) {
    size_t at = object.find("action=");
    std::string a = at == std::string::npos ? "" : object.substr(at + 7);
    return a.substr(0, a.find('&'));
  }
  FakeHttpTransport::Reply Answer(const platform::HttpExchangeSpec& spec) {
    const std::string action = ActionOf(spec.object);
    if (onRequest) onRequest(action);
    FakeHttpTransport::Reply r;
    std::lock_guard<std::mutex> hold(lock);
    if (hang == action) {
      hang.clear();
      r.hang = true;
      return r;
    }
    auto& queue = scripted[action];
    if (!queue.empty()) {
      r.body = queue.front();
      queue.pop_front();
      return r;
    }
    if (action == "agentkey") r.body = "<result><agentKey>AK</agentKey></result>";
    if (action == "apikey") r.body = "<result><apikey>K1</apikey><secretkey>S1</secretkey></result>";
    if (action == "secretkey") r.body = "<result><secretkey>S2</secretkey></result>";
    if (action == "authToken") r.body = "<authToken>T1</authToken>";
    if (action == "addAgent") r.body = "<result><data>77</data></result>";
    if (action == "getJobs") r.body = jobs;
    if (action == "addResult" || action == "deleteJob") r.body = "<result><status>ok</status></result>";
    return r;
  }

  std::mutex lock;
  std::map<std::string, std::deque<std::string>> scripted;
  std::string hang;
  std::string jobs = "<jobs/>";
};

class FakeCustomOwner : public ICustomMonitorOwner {
 public:
  explicit FakeCustomOwner(platform::IHttpTransport& t) : transport(t) {
    creds.apiHost = "http://127.0.0.1:1/api";
  }

  bool IsWorking() override { return working; }
  bool StartsSenders() override { return startSenders; }
  void NotifyStatus(uint32_t code, const std::string& text) override {
    std::lock_guard<std::mutex> hold(lock);
    status.emplace_back(code, text);
  }
  void CustomMonitorLog(const std::string& line) override {
    std::lock_guard<std::mutex> hold(lock);
    summaries.push_back(line);
  }
  CustomCredentials GetCustomCredentials() override {
    std::lock_guard<std::mutex> hold(lock);
    return creds;
  }
  void StoreAgentKey(const std::string& key) override { Set(creds.agentKey, key); }
  void StoreAPIKey(const std::string& key) override { Set(creds.apiKey, key); }
  void StoreSecretKey(const std::string& key) override { Set(creds.secretKey, key); }
  void StoreAuthToken(const std::string& token) override { Set(creds.authToken, token); }
  void StoreAgentID(uint32_t id) override {
    std::lock_guard<std::mutex> hold(lock);
    creds.agentId = id;
  }
  time_t Now() override { return 1492765503; }
  platform::IHttpTransport& HttpTransport() override { return transport; }
  std::unique_ptr<platform::IXmlDocument> MakeXml(int32_t&) override {
    return platform::create_native_xml_document();
  }

  std::vector<std::pair<uint32_t, std::string>> Status() {
    std::lock_guard<std::mutex> hold(lock);
    return status;
  }
  bool Said(uint32_t code, const std::string& prefix) {
    for (const auto& s : Status())
      if (s.first == code && s.second.rfind(prefix, 0) == 0) return true;
    return false;
  }
  int CountCode(uint32_t code) {
    int n = 0;
    for (const auto& s : Status()) n += s.first == code;
    return n;
  }

  platform::IHttpTransport& transport;
  std::atomic<bool> working{true};
  bool startSenders = false;
  std::mutex lock;
  CustomCredentials creds;
  std::vector<std::pair<uint32_t, std::string>> status;
  std::vector<std::string> summaries;

 private:
  void Set(std::string& field, const std::string& value) {
    std::lock_guard<std::mutex> hold(lock);
    field = value;
  }
};
