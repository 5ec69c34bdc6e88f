// What the custom-monitor side needs from its owner (the main worker, through
// CWorkerCustomOwner; a fake in tests): the run state, status lines, the
// stored API credentials and where to store new ones, the clock, the HTTP
// transport and the XML parser. Every accessor is safe from any thread and
// holds no lock of the owner after it returns.
#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <string>

#include "platform/custom_runtime.h"
#include "platform/http_transport.h"
#include "platform/xml_document.h"

struct CustomCredentials {
  std::string apiHost, apiKey, secretKey, authToken;
  uint32_t agentId = 0xFFFFFFFFu;  // 4294967295: not registered with the API
  std::string agentKey, email, hashedPassword, agentName, proxy;
  bool ignoreCertErrors = false;
};

class ICustomMonitorOwner {
 public:
  virtual ~ICustomMonitorOwner() = default;
  // False once the work stops: every fetch and pass ends at its next step.
  virtual bool IsWorking() = 0;
  virtual void NotifyStatus(uint32_t code, const std::string& text) = 0;
  // One line of the custom-monitor log (the job summaries).
  virtual void CustomMonitorLog(const std::string& line) = 0;
  virtual CustomCredentials GetCustomCredentials() = 0;
  virtual void StoreAgentKey(const std::string& key) = 0;
  virtual void StoreAPIKey(const std::string& key) = 0;
  virtual void StoreSecretKey(const std::string& key) = 0;
  virtual void StoreAuthToken(const std::string& token) = 0;
  virtual void StoreAgentID(uint32_t id) = 0;
  virtual time_t Now() = 0;
  virtual platform::IHttpTransport& HttpTransport() = 0;
  virtual std::unique_ptr<platform::IXmlDocument> MakeXml(int32_t& error) = 0;
  // The system seams of the plugin runner; null: monitors never run.
  virtual platform::ICustomRuntime* CustomRuntime() { return nullptr; }
  // Whether the manager's senders run their threads (tests drive them).
  virtual bool StartsSenders() { return true; }
};
