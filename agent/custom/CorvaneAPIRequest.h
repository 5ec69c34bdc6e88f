// CCorvaneAPIRequest: the client of the custom-monitor API, a query-string
// HTTP API that answers in XML. One instance serves one pass of work on one
// thread (a job fetch, a sending pass); it carries its requests over one
// CHTTPRequest and reads the replies through the XML seam. Every request and
// reply goes to the custom-API log.
//
// Codes of every operation: 0 success; -1 no transport (bad URL, scheme or
// connection); -2 the reply was not usable XML, had no `error` element or no
// usable `code`; -3 no usable reply (transport failure, time-out, HTTP 500 and
// up, empty body); anything else is the server's `code`.
#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "agent/custom/HTTPRequest.h"
#include "platform/xml_document.h"

// Keeps 0-9, A-Z and a-z; every other byte becomes %XX (upper-case hex).
std::string UrlEncode(const std::string& text);
// "YYYY-MM-DD hh:mm:ss" of `utc` (seconds since 1970) in UTC.
std::string ApiTimestamp(int64_t utc);
// A decimal number as the API and its jobs write it: leading blanks, then
// the leading digits (strtoul-like); none gives 0. A minus sign or a value
// past 32 bits gives 4294967295.
uint32_t ReadUnsigned32(const std::string& text);

class CCorvaneAPIRequest {
 public:
  static constexpr uint32_t kRequestTimeoutSeconds = 50;
  static constexpr size_t kInitialBuffer = 8192;
  static constexpr size_t kReplyLimit = 16777216;

  struct Setup {
    platform::IHttpTransport* transport = nullptr;
    std::string apiUrl;  // the APIHost value
    std::string proxy;
    std::string apiKey, authToken;
    // For the request headers; read by the caller on its own thread.
    std::string email, agentName;
    bool ignoreCertErrors = false;
    std::function<time_t()> now = [] { return time(nullptr); };
    platform::HttpLog log;                                                     // empty: the custom-API log
    std::function<std::unique_ptr<platform::IXmlDocument>(int32_t&)> makeXml;  // empty: the platform's
  };

  explicit CCorvaneAPIRequest(Setup setup);
  ~CCorvaneAPIRequest();
  CCorvaneAPIRequest(const CCorvaneAPIRequest&) = delete;
  CCorvaneAPIRequest& operator=(const CCorvaneAPIRequest&) = delete;

  bool HasTransport() const { return m_http != nullptr; }

  int32_t RequestAgentKey(const std::string& email, const std::string& passwordHash, std::string& agentKey);
  // `secretKey` is left as it was when the reply carries none.
  int32_t RequestApiKey(const std::string& agentKey, std::string& apiKey, std::string& secretKey);
  int32_t RequestApiKey(const std::string& email, const std::string& passwordHash, std::string& apiKey,
                        std::string& secretKey);
  int32_t RequestSecretKey(std::string& secretKey);
  int32_t RequestAuthToken(const std::string& apiKey, const std::string& secretKey, std::string& token);
  int32_t RequestAddAgent(const std::string& agentName, uint32_t& agentId);
  int32_t RequestAddResult(uint32_t monitorId, uint32_t jobId, const std::string& pluginName,
                           int64_t checkTime, const std::string& results, bool isError);
  int32_t RequestDeleteJob(const std::string& jobIds, const std::string& status);
  // Appends each `job` element of the reply, as XML text, to `jobs`.
  int32_t RequestJobs(uint32_t agentId, uint32_t lastJobId, std::vector<std::string>& jobs);

  // The code of the last reply (see above) with its text.
  int32_t GetErrorCode(std::string& errorText);

  // The HTTP status of the last answered request, or the transport's error.
  int32_t LastStatus() const { return m_lastStatus; }
  const std::string& LastError() const { return m_lastError; }
  const std::string& ApiKey() const { return m_apiKey; }
  const std::string& AuthToken() const { return m_authToken; }

  // From another thread (a stop): ends the running request; later ones fail.
  void Abort();

 private:
  enum class Form { Plain, ApiKey, Token };
  // Runs one operation's body (true: the reply had what was asked).
  template <typename Body>
  int32_t Operation(Body body);
  bool Send(Form form, const char* action, const std::string& params, const std::string* body);
  std::unique_ptr<platform::IXmlNode> LoadRoot(const char* name);
  std::unique_ptr<platform::IXmlDocument> NewDocument();
  bool LoadReply(platform::IXmlDocument& doc);
  std::unique_ptr<platform::IXmlNode> ChildOf(platform::IXmlNode& parent, const char* name,
                                              std::string& text);
  void Log(const std::string& line) const;

  Setup m_setup;
  std::unique_ptr<CHTTPRequest> m_http;
  std::string m_path;
  std::string m_apiKey, m_authToken;
  std::string m_lastError;
  int32_t m_lastStatus = 0;
  bool m_transportFailed = false;
};
