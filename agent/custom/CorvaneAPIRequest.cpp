#include "agent/custom/CorvaneAPIRequest.h"

#include <cctype>
#include <cstdio>

#include "agent/LogFormat.h"
#include "agent/LogWriter.h"
#include "agent/TextFields.h"
#include "corelib/ExceptionRecord.h"

namespace {

constexpr const char* kUnit = "CCorvaneAPIRequest";
// The URL parts must fit the buffers the API's URLs were always split into.
constexpr size_t kMaxHost = 255;
constexpr size_t kMaxPath = 2083;
constexpr const char* kTail = "&output=xml&recordApiCall=false&version=2";

bool EqualsNoCase(const std::string& a, const char* b) {
  size_t i = 0;
  for (; i < a.size() && b[i]; ++i)
    if (tolower(static_cast<unsigned char>(a[i])) != tolower(static_cast<unsigned char>(b[i]))) return false;
  return i == a.size() && b[i] == 0;
}

}  // namespace

std::string UrlEncode(const std::string& text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size() * 3);
  for (unsigned char c : text) {
    if (isdigit(c) || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

std::string ApiTimestamp(int64_t utc) {
  // Civil date from days since 1970 (proleptic Gregorian), independent of
  // the local time zone and of the C library.
  int64_t days = utc / 86400, secs = utc % 86400;
  if (secs < 0) {
    secs += 86400;
    --days;
  }
  days += 719468;
  const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const int64_t doe = days - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  const unsigned day = static_cast<unsigned>(doy - (153 * mp + 2) / 5 + 1);
  const unsigned month = static_cast<unsigned>(mp < 10 ? mp + 3 : mp - 9);
  const unsigned year = static_cast<unsigned>(yoe + era * 400 + (month <= 2 ? 1 : 0));
  return Format("%04u-%02u-%02u %02u:%02u:%02u", year, month, day, static_cast<unsigned>(secs / 3600),
                static_cast<unsigned>(secs / 60 % 60), static_cast<unsigned>(secs % 60));
}

uint32_t ReadUnsigned32(const std::string& text) {
  size_t i = 0;
  while (i < text.size() && isspace(static_cast<unsigned char>(text[i]))) ++i;
  if (i < text.size() && text[i] == '-') {
    // strtoul negates: anything but "-0" wraps; 32-bit everywhere, so it saturates.
    size_t j = i + 1;
    bool nonZero = false, any = false;
    for (; j < text.size() && isdigit(static_cast<unsigned char>(text[j])); ++j) {
      any = true;
      if (text[j] != '0') nonZero = true;
    }
    return any && nonZero ? 0xFFFFFFFFu : 0;
  }
  if (i < text.size() && text[i] == '+') ++i;
  uint64_t value = 0;
  for (; i < text.size() && isdigit(static_cast<unsigned char>(text[i])); ++i) {
    value = value * 10 + static_cast<uint64_t>(text[i] - '0');
    if (value > 0xFFFFFFFFu) return 0xFFFFFFFFu;
  }
  return static_cast<uint32_t>(value);
}

CCorvaneAPIRequest::CCorvaneAPIRequest(Setup setup) : m_setup(std::move(setup)) {
  if (!m_setup.log) m_setup.log = [](const std::string& line) { custom_api_log().AppendLogLine(line); };
  if (!m_setup.makeXml) m_setup.makeXml = platform::create_xml_document;
  m_apiKey = m_setup.apiKey;
  m_authToken = m_setup.authToken;
  try {
    GatewayAddress address;
    if (m_setup.transport == nullptr || !SplitGatewayUrl(m_setup.apiUrl, address, kMaxHost, kMaxPath)) return;
    m_path = address.path;
    CHTTPRequest::Options options;
    options.proxy = m_setup.proxy;
    options.secure = address.secure;
    options.initialBuffer = kInitialBuffer;
    options.limit = kReplyLimit;
    options.ignoreCertErrors = m_setup.ignoreCertErrors;
    std::unique_ptr<CHTTPRequest> http = CHTTPRequest::Create(*m_setup.transport, options, m_setup.log);
    if (http && http->Connect(address.host, address.port)) m_http = std::move(http);
  } catch (...) {
    LOG_EXCEPTION_RECORD(kUnit);
    m_http.reset();
  }
}

CCorvaneAPIRequest::~CCorvaneAPIRequest() = default;

void CCorvaneAPIRequest::Log(const std::string& line) const { m_setup.log(line); }

void CCorvaneAPIRequest::Abort() {
  if (m_http) m_http->Abort();
}

bool CCorvaneAPIRequest::Send(Form form, const char* action, const std::string& params,
                              const std::string* body) {
  std::string url;
  switch (form) {
    case Form::Plain: url = Format("%s?action=%s&%s", m_path.c_str(), action, params.c_str()); break;
    case Form::ApiKey:
      url = Format("%s?action=%s&apikey=%s&%s", m_path.c_str(), action, m_apiKey.c_str(), params.c_str());
      break;
    case Form::Token:
      url = Format("%s?action=%s&apikey=%s&validation=token&authToken=%s&timestamp=%s&%s", m_path.c_str(),
                   action, m_apiKey.c_str(), m_authToken.c_str(), ApiTimestamp(m_setup.now()).c_str(),
                   params.c_str());
      break;
  }
  url += kTail;
  const std::string data = body ? *body : std::string();
  Log(Format("Sending request '%s' (postdata:%s)", url.c_str(), data.c_str()));
  m_transportFailed = false;
  if (m_http->MakeRequest(url, body != nullptr, data, kRequestTimeoutSeconds, m_setup.email,
                          m_setup.agentName)) {
    m_lastStatus = static_cast<int32_t>(m_http->StatusCode());
    if (m_http->StatusCode() < 500) {
      Log(Format("Received %d response '%s'", m_lastStatus, m_http->Reply().c_str()));
      return true;
    }
    Log(Format("Request failed with HTTP error %d", m_lastStatus));
    return false;
  }
  std::string text;
  m_lastStatus = static_cast<int32_t>(m_http->ErrorText(text));
  m_lastError = text;
  m_transportFailed = true;
  Log(Format("Request failed with error %d:'%s'", m_lastStatus, text.c_str()));
  return false;
}

std::unique_ptr<platform::IXmlDocument> CCorvaneAPIRequest::NewDocument() {
  int32_t error = 0;
  std::unique_ptr<platform::IXmlDocument> doc = m_setup.makeXml(error);
  if (!doc) m_lastError = Format("XML document creation failed with error '%d'.", static_cast<int>(error));
  return doc;
}

bool CCorvaneAPIRequest::LoadReply(platform::IXmlDocument& doc) {
  platform::XmlLoadError error;
  if (doc.Load(m_http->Reply(), error)) return true;
  m_lastError = Format("XML parse error. '%s' at line:%ld, pos:%ld (%s).", error.reason.c_str(), error.line,
                       error.position, error.source.c_str());
  return false;
}

// The document element, when it carries `name`; the document stays alive in
// the node.
std::unique_ptr<platform::IXmlNode> CCorvaneAPIRequest::LoadRoot(const char* name) {
  std::unique_ptr<platform::IXmlDocument> doc = NewDocument();
  if (!doc || !LoadReply(*doc)) return nullptr;
  std::unique_ptr<platform::IXmlNode> root = doc->DocumentElement();
  if (!root || root->Name() != name) {
    m_lastError = Format("XML doesn't contain node '%s' at root level.", name);
    return nullptr;
  }
  return root;
}

std::unique_ptr<platform::IXmlNode> CCorvaneAPIRequest::ChildOf(platform::IXmlNode& parent, const char* name,
                                                                std::string& text) {
  std::unique_ptr<platform::IXmlNode> child = parent.Child(name);
  if (!child) {
    m_lastError = Format("XML node '%s' doesn't contain child node '%s'.", parent.Name().c_str(), name);
    return nullptr;
  }
  text = child->Text();
  return child;
}

int32_t CCorvaneAPIRequest::GetErrorCode(std::string& errorText) {
  try {
    if (m_transportFailed || !m_http || m_http->StatusCode() >= 500 || !m_http->HasReply()) {
      m_lastError = "General error in transport layer.";
      errorText = m_lastError;
      return -3;
    }
    std::unique_ptr<platform::IXmlNode> root = LoadRoot("error");
    if (!root) {
      errorText = m_lastError;
      return -2;
    }
    m_lastError = root->Text();
    errorText = m_lastError;
    std::string code;
    if (!root->Attribute("code", code)) return -2;
    const uint32_t value = ReadUnsigned32(code);
    // A code that is no number, or 0, does not say the request failed the
    // way a code does; it is still no success.
    if (value == 0) return -2;
    return static_cast<int32_t>(value);
  } catch (...) {
    LOG_EXCEPTION_RECORD(kUnit);
    m_lastError = "General XML parse error.";
    errorText = m_lastError;
    return -2;
  }
}

// Every operation: no transport gives -1; a sent request whose reply has
// what was asked gives 0; everything else the reply's error code.
template <typename Body>
int32_t CCorvaneAPIRequest::Operation(Body body) {
  if (!m_http) return -1;
  m_lastError.clear();
  try {
    if (body()) return 0;
  } catch (...) {
    LOG_EXCEPTION_RECORD(kUnit);
    m_lastError = "General XML parse error.";
    return -2;
  }
  std::string errorText;
  return GetErrorCode(errorText);
}

int32_t CCorvaneAPIRequest::RequestAgentKey(const std::string& email, const std::string& passwordHash,
                                            std::string& agentKey) {
  return Operation([&] {
    if (Send(Form::Plain, "agentkey",
             Format("userName=%s&password=%s", UrlEncode(email).c_str(), passwordHash.c_str()), nullptr)) {
      if (auto root = LoadRoot("result")) {
        std::string key;
        if (ChildOf(*root, "agentKey", key)) {
          agentKey = key;
          return true;
        }
      }
    }
    return false;
  });
}

int32_t CCorvaneAPIRequest::RequestApiKey(const std::string& agentKey, std::string& apiKey,
                                          std::string& secretKey) {
  return Operation([&] {
    if (Send(Form::Plain, "apikey", "agentKey=" + agentKey, nullptr)) {
      if (auto root = LoadRoot("result")) {
        std::string key, secret;
        if (ChildOf(*root, "apikey", key)) {
          apiKey = m_apiKey = key;
          if (ChildOf(*root, "secretkey", secret)) secretKey = secret;
          return true;
        }
      }
    }
    return false;
  });
}

int32_t CCorvaneAPIRequest::RequestApiKey(const std::string& email, const std::string& passwordHash,
                                          std::string& apiKey, std::string& secretKey) {
  return Operation([&] {
    if (Send(Form::Plain, "apikey",
             Format("userName=%s&password=%s", UrlEncode(email).c_str(), passwordHash.c_str()), nullptr)) {
      if (auto root = LoadRoot("result")) {
        std::string key, secret;
        if (ChildOf(*root, "apikey", key)) {
          apiKey = m_apiKey = key;
          if (ChildOf(*root, "secretkey", secret)) secretKey = secret;
          return true;
        }
      }
    }
    return false;
  });
}

int32_t CCorvaneAPIRequest::RequestSecretKey(std::string& secretKey) {
  return Operation([&] {
    if (Send(Form::Plain, "secretkey", "apikey=" + m_apiKey, nullptr)) {
      if (auto root = LoadRoot("result")) {
        std::string secret;
        if (ChildOf(*root, "secretkey", secret)) {
          secretKey = secret;
          return true;
        }
      }
    }
    return false;
  });
}

int32_t CCorvaneAPIRequest::RequestAuthToken(const std::string& apiKey, const std::string& secretKey,
                                             std::string& token) {
  return Operation([&] {
    if (Send(Form::Plain, "authToken", "apikey=" + apiKey + "&secretkey=" + secretKey, nullptr)) {
      if (auto root = LoadRoot("authToken")) {
        token = m_authToken = root->Text();
        return true;
      }
    }
    return false;
  });
}

int32_t CCorvaneAPIRequest::RequestAddAgent(const std::string& agentName, uint32_t& agentId) {
  return Operation([&] {
    const std::string empty;
    if (Send(Form::Token, "addAgent", "name=" + UrlEncode(agentName) + "&type=internal", &empty)) {
      if (auto root = LoadRoot("result")) {
        std::string data;
        if (ChildOf(*root, "data", data)) {
          const uint32_t id = ReadUnsigned32(data);
          // 4294967295 is what an absent ID reads as: no usable registration.
          if (id != 0 && id != 0xFFFFFFFFu) {
            agentId = id;
            return true;
          }
        }
      }
    }
    return false;
  });
}

int32_t CCorvaneAPIRequest::RequestAddResult(uint32_t monitorId, uint32_t jobId,
                                             const std::string& pluginName, int64_t checkTime,
                                             const std::string& results, bool isError) {
  return Operation([&] {
    std::string body;
    if (!results.empty()) body = "results=" + UrlEncode(isError ? "error:" + results : results);
    const std::string params = Format(
        "monitorId=%lu&jobId=%lu&pluginName=%s&checktime=%u000", static_cast<unsigned long>(monitorId),
        static_cast<unsigned long>(jobId), UrlEncode(pluginName).c_str(), static_cast<unsigned>(checkTime));
    if (Send(Form::Token, "addResult", params, &body)) {
      if (auto root = LoadRoot("result")) {
        std::string status;
        if (ChildOf(*root, "status", status) && EqualsNoCase(status, "ok")) return true;
      }
    }
    return false;
  });
}

int32_t CCorvaneAPIRequest::RequestDeleteJob(const std::string& jobIds, const std::string& status) {
  return Operation([&] {
    const std::string body = status.empty() ? std::string() : "status=" + UrlEncode(status);
    if (Send(Form::Token, "deleteJob", "jobIds=" + jobIds, &body)) {
      if (auto root = LoadRoot("result")) {
        std::string answer;
        if (ChildOf(*root, "status", answer) && EqualsNoCase(answer, "ok")) return true;
      }
    }
    return false;
  });
}

int32_t CCorvaneAPIRequest::RequestJobs(uint32_t agentId, uint32_t lastJobId,
                                        std::vector<std::string>& jobs) {
  return Operation([&] {
    if (Send(Form::ApiKey, "getJobs",
             Format("agentId=%d&lastJobId=%d", static_cast<int>(agentId), static_cast<int>(lastJobId)),
             nullptr)) {
      if (auto root = LoadRoot("jobs")) {
        for (auto& job : root->Children("job")) jobs.push_back(job->Xml());
        return true;
      }
    }
    return false;
  });
}
