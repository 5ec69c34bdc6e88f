#include "agent/Plugins/http_mon.h"

#include <algorithm>
#include <cstring>

namespace http_check {

namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::string DecodeBody(const std::string& field) {
  std::string out;
  out.reserve(field.size());
  for (size_t i = 0; i < field.size(); ++i) {
    char c = field[i];
    if (c == '+') {
      out += ' ';
    } else if (c == '%' && i + 2 < field.size() && HexValue(field[i + 1]) >= 0 &&
               HexValue(field[i + 2]) >= 0) {
      out += static_cast<char>(HexValue(field[i + 1]) * 16 + HexValue(field[i + 2]));
      i += 2;
    } else {
      out += c;
    }
  }
  return out;
}

bool ParseTest(const std::vector<std::string>& f, CHttpTest& t) {
  if (f.size() != 16) return false;
  int32_t port = ReadNumber(f[5]);
  // WinINet would cut a larger number down to another port.
  if (port > 65535) return false;
  t.host = f[3];
  t.path = f[4];
  t.port = static_cast<uint16_t>(port > 0 ? port : 80);
  t.search = f[6];
  t.body = DecodeBody(f[7]);
  t.user = f[8];
  t.password = f[9];
  t.timeout = ReadNumber(f[10]);
  t.secure = ReadNumber(f[11]) != 0;
  t.reserved = ReadNumber(f[12]) != 0;
  t.isFull = ReadNumber(f[13]) != 0;
  t.mustContain = ReadNumber(f[14]) != 0;
  t.method = ReadNumber(f[15]);
  return true;
}

const char* MethodName(int32_t method) {
  switch (method) {
    case 1: return "POST";
    case 2: return "HEAD";
    default: return "GET";
  }
}

void BodySearch::Feed(const char* data, size_t size) {
  m_total += size;
  if (m_found || m_needle.empty() || size == 0) return;
  const size_t keep = m_needle.size() - 1;
  // Only the carried bytes and the head of the piece can hold a match that
  // crosses the boundary; the rest of the piece is searched in place.
  std::string seam = m_carry;
  seam.append(data, std::min(size, keep));
  if (seam.find(m_needle) != std::string::npos ||
      std::search(data, data + size, m_needle.begin(), m_needle.end()) != data + size) {
    m_found = true;
    m_carry.clear();
    return;
  }
  if (size >= keep) {
    m_carry.assign(data + size - keep, keep);
  } else {
    m_carry.append(data, size);
    if (m_carry.size() > keep) m_carry.erase(0, m_carry.size() - keep);
  }
}

Verdict Judge(const CHttpTest& t, const HttpCheckResult& answer, uint64_t elapsedMs, bool bodyRead,
              uint64_t bytesRead, bool found, const std::string& errorText) {
  Verdict v;
  v.statusCode = answer.statusCode;
  v.contentLength = answer.contentLength;
  const char* host = t.host.c_str();
  const char* path = t.path.c_str();
  if (answer.outcome == HttpCheckOutcome::TimedOut) {
    v.text = "Timed out.";
    v.logLine =
        Format("Timed out: Response Code:%u, Content Length:%u, testID:%d, lid:%d, host:'%s', path:'%s'",
               v.statusCode, v.contentLength, t.testID, t.lid, host, path);
    return v;
  }
  if (answer.outcome == HttpCheckOutcome::Failed) {
    v.text = errorText;
    v.logLine =
        Format("Error: '%s': Response Code:%u, Content Length:%u, testID:%d, lid:%d, host:'%s', path:'%s'",
               errorText.c_str(), v.statusCode, v.contentLength, t.testID, t.lid, host, path);
    return v;
  }
  v.responseMs = Clamp32(elapsedMs);
  std::string outcome;
  if (!Accepted(answer.statusCode)) {
    v.status = 2;
    v.contentLength = 0;  // neither the header nor the body was read
  } else {
    v.status = 0;
    if (bodyRead) {
      v.contentLength = Clamp32(bytesRead);
      if (!t.search.empty()) {
        outcome = found ? "String found." : "String NOT found.";
        v.status = found == t.mustContain ? 0 : 2;
      }
    }
  }
  v.text = Format("HTTP status code: %u. ", v.statusCode) + outcome;
  v.logLine = Format(
      "'%s': Status:%u, Response Time:%ums, Response Code:%u, Content Length:%u, testID:%d, lid:%d, "
      "host:'%s', path:'%s'",
      v.text.c_str(), v.status, v.responseMs, v.statusCode, v.contentLength, t.testID, t.lid, host, path);
  return v;
}

}  // namespace http_check
