#include "tools/devgateway/exchange_log.h"

#include <cstdio>

namespace devgw {

namespace {

const char* kind_name(const Exchange& ex) {
  switch (ex.kind) {
    case ExchangeKind::Auth: return "auth";
    case ExchangeKind::Data: return "data";
    default: return "unknown";
  }
}

size_t line_count(const std::string& body) {
  if (body.empty()) return 0;
  size_t n = 1;
  for (char c : body) n += c == '\n';
  return n;
}

// Length of the well-formed UTF-8 sequence at text[at], 0 when there is none.
size_t utf8_length(const std::string& text, size_t at) {
  auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  unsigned char lead = byte(at);
  if (lead < 0x80) return 1;
  size_t n;
  uint32_t cp;
  if (lead >= 0xC2 && lead <= 0xDF) {
    n = 2, cp = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    n = 3, cp = lead & 0x0F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    n = 4, cp = lead & 0x07;
  } else {
    return 0;
  }
  if (at + n > text.size()) return 0;
  for (size_t i = 1; i < n; ++i) {
    if ((byte(at + i) & 0xC0) != 0x80) return 0;
    cp = cp << 6 | (byte(at + i) & 0x3F);
  }
  // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
  if ((n == 3 && cp < 0x800) || (n == 4 && cp < 0x10000) || cp > 0x10FFFF ||
      (cp >= 0xD800 && cp <= 0xDFFF))
    return 0;
  return n;
}

std::string headers_json(const Headers& headers) {
  std::string out = "{";
  for (size_t i = 0; i < headers.size(); ++i) {
    if (i) out += ',';
    out += json_string(headers[i].first) + ':' + json_string(headers[i].second);
  }
  return out + '}';
}

}  // namespace

std::string printable(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    auto u = static_cast<unsigned char>(c);
    if (c == '\r') {
      out += "\\r";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else if (u < 0x20 || u == 0x7F) {
      char hex[5];
      snprintf(hex, sizeof hex, "\\x%02x", u);
      out += hex;
    } else {
      out += c;
    }
  }
  return out;
}

std::string json_string(const std::string& text) {
  std::string out = "\"";
  for (size_t at = 0; at < text.size();) {
    auto u = static_cast<unsigned char>(text[at]);
    size_t n = utf8_length(text, at);
    if (n == 0) {
      out += "\xEF\xBF\xBD";
      ++at;
      continue;
    }
    if (n > 1) {
      out.append(text, at, n);
    } else if (u == '"' || u == '\\') {
      out += '\\';
      out += static_cast<char>(u);
    } else if (u == '\n') {
      out += "\\n";
    } else if (u == '\r') {
      out += "\\r";
    } else if (u == '\t') {
      out += "\\t";
    } else if (u < 0x20 || u == 0x7F) {
      char esc[8];
      snprintf(esc, sizeof esc, "\\u%04x", u);
      out += esc;
    } else {
      out += static_cast<char>(u);
    }
    at += n;
  }
  return out + '"';
}

std::string exchange_line(const Exchange& ex) {
  std::string out = "exchange " + std::to_string(ex.number) + ": " + kind_name(ex);
  if (!ex.authMethod.empty()) out += ' ' + ex.authMethod;
  out += ',';
  for (const auto& h : ex.shownHeaders) out += ' ' + printable(h.first) + "='" + printable(h.second) + "'";
  out += ", body " + std::to_string(ex.bodyBytes) + " bytes, records " + std::to_string(ex.records.size()) +
         ", status " + std::to_string(ex.reply.status);
  if (ex.reply.session) out += ", session '" + printable(*ex.reply.session) + "'";
  if (ex.error.empty()) out += ", reply " + std::to_string(line_count(ex.reply.body)) + " lines";
  if (ex.planned) out += ", planned";
  if (ex.reply.hangSeconds) out += ", hang " + std::to_string(ex.reply.hangSeconds) + " s";
  if (ex.reply.downSeconds) out += ", down " + std::to_string(ex.reply.downSeconds) + " s";
  if (ex.reply.reset) out += ", reset";
  if (!ex.error.empty()) out += ", error: " + printable(ex.error);
  return out;
}

std::string record_line(const DecodedRecord& record) { return "record: " + printable(record.text); }

std::string exchange_json(const Exchange& ex) {
  std::string out = "{\"event\":\"exchange\",\"exchange\":" + std::to_string(ex.number) + ",\"kind\":\"" +
                    kind_name(ex) + "\"";
  if (!ex.authMethod.empty()) out += ",\"method\":" + json_string(ex.authMethod);
  out += ",\"headers\":" + headers_json(ex.shownHeaders);
  out += ",\"body_bytes\":" + std::to_string(ex.bodyBytes);
  out += ",\"records\":" + std::to_string(ex.records.size());
  out += ",\"status\":" + std::to_string(ex.reply.status);
  out += ",\"session\":" + (ex.reply.session ? json_string(*ex.reply.session) : std::string("null"));
  out += ",\"reply\":" + json_string(ex.reply.body);
  out += ",\"planned\":" + std::string(ex.planned ? "true" : "false");
  out += ",\"hang\":" + std::to_string(ex.reply.hangSeconds);
  out += ",\"down\":" + std::to_string(ex.reply.downSeconds);
  out += ",\"reset\":" + std::string(ex.reply.reset ? "true" : "false");
  out += ",\"error\":" + (ex.error.empty() ? std::string("null") : json_string(ex.error));
  return out + '}';
}

std::string record_json(uint64_t exchange, const DecodedRecord& record) {
  auto number = [](const std::optional<uint32_t>& v) { return v ? std::to_string(*v) : std::string("null"); };
  return "{\"event\":\"record\",\"exchange\":" + std::to_string(exchange) +
         ",\"record\":" + std::to_string(record.index) + ",\"type\":" + number(record.type) +
         ",\"testID\":" + number(record.testID) + ",\"text\":" + json_string(record.text) + '}';
}

}  // namespace devgw
