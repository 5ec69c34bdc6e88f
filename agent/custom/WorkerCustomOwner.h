// The main worker as the custom-monitor side's owner: its run state, status
// lines, locked credential accessors and seams.
#pragma once

#include "agent/custom/CustomOwner.h"

class CMainWorker;

class CWorkerCustomOwner : public ICustomMonitorOwner {
 public:
  CWorkerCustomOwner(CMainWorker& worker, platform::IHttpTransport& transport)
      : m_worker(worker), m_transport(transport) {}

  bool IsWorking() override;
  void NotifyStatus(uint32_t code, const std::string& text) override;
  void CustomMonitorLog(const std::string& line) override;
  CustomCredentials GetCustomCredentials() override;
  void StoreAgentKey(const std::string& key) override;
  void StoreAPIKey(const std::string& key) override;
  void StoreSecretKey(const std::string& key) override;
  void StoreAuthToken(const std::string& token) override;
  void StoreAgentID(uint32_t id) override;
  time_t Now() override;
  platform::IHttpTransport& HttpTransport() override { return m_transport; }
  std::unique_ptr<platform::IXmlDocument> MakeXml(int32_t& error) override;
  platform::ICustomRuntime* CustomRuntime() override { return platform::system_custom_runtime(); }

 private:
  CMainWorker& m_worker;
  platform::IHttpTransport& m_transport;
};
