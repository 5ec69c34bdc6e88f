#include "agent/custom/WorkerCustomOwner.h"

#include "agent/LogWriter.h"
#include "agent/MainWorker.h"

bool CWorkerCustomOwner::IsWorking() { return m_worker.IsWorking(); }

void CWorkerCustomOwner::NotifyStatus(uint32_t code, const std::string& text) {
  m_worker.NotifyStatus(code, text);
}

void CWorkerCustomOwner::CustomMonitorLog(const std::string& line) {
  custom_monitor_log().AppendLogLine(line);
}

CustomCredentials CWorkerCustomOwner::GetCustomCredentials() {
  CustomCredentials c;
  c.apiHost = m_worker.GetAPIHost();
  c.apiKey = m_worker.GetAPIKey();
  c.secretKey = m_worker.GetSecretKey();
  c.authToken = m_worker.GetAuthToken();
  c.agentId = m_worker.GetAgentID();
  c.agentKey = m_worker.GetAgentKey();
  c.email = m_worker.GetEMail();
  c.hashedPassword = m_worker.HashedPassword();
  c.agentName = m_worker.GetAgentName();
  c.proxy = m_worker.GetProxy();
  c.ignoreCertErrors = m_worker.IgnoreCertErrors();
  return c;
}

void CWorkerCustomOwner::StoreAgentKey(const std::string& key) { m_worker.StoreAgentKey(key); }
void CWorkerCustomOwner::StoreAPIKey(const std::string& key) { m_worker.SetAPIKey(key); }
void CWorkerCustomOwner::StoreSecretKey(const std::string& key) { m_worker.SetSecretKey(key); }
void CWorkerCustomOwner::StoreAuthToken(const std::string& token) { m_worker.SetAuthToken(token); }
void CWorkerCustomOwner::StoreAgentID(uint32_t id) { m_worker.SetAgentID(id); }
time_t CWorkerCustomOwner::Now() { return m_worker.Now(); }

std::unique_ptr<platform::IXmlDocument> CWorkerCustomOwner::MakeXml(int32_t& error) {
  return platform::create_xml_document(error);
}
