#include <gtest/gtest.h>
#include <zlib.h>

#include <string>
#include <vector>

#include "corelib/MonResult2.h"
#include "tests/unit/fakes/sample_records.h"
#include "tools/devgateway/exchange_log.h"
#include "tools/devgateway/gateway_logic.h"
#include "tools/devgateway/gateway_plan.h"
#include "tools/report/report_decoder.h"

namespace {

using devgw::GatewayConfig;
using devgw::GatewayLogic;
using devgw::GatewayRequest;
using devgw::Plan;

devgw::Headers key_auth(const std::string& key, const std::string& name) {
  return {{"Content-Type", "application/octet-stream"}, {"Mon-AKey", key},      {"Mon-AName", name},
          {"Mon-Platform", "win64"},                    {"Mon-Version", "4.02.14"}};
}

devgw::Headers account_auth(const std::string& email, const std::string& pass, const std::string& name) {
  return {{"Mon-EMail", email}, {"Mon-Pass", pass}, {"Mon-AName", name}, {"Mon-Platform", "win64"}};
}

devgw::Headers data_headers(const std::string& session, const std::string& compression,
                            const std::string& checksum) {
  return {{"Mon-SessionID", session},
          {"Mon-Compression", compression},
          {"Mon-CheckSum", checksum},
          {"Mon-Platform", "win64"},
          {"Mon-Version", "4.02.14"}};
}

Plan plan_of(const std::string& text) {
  Plan plan;
  std::string error;
  EXPECT_TRUE(devgw::parse_plan(text, plan, error)) << error;
  return plan;
}

std::string compress(const std::string& raw) {
  uLongf n = compressBound(raw.size());
  std::string out(n, '\0');
  EXPECT_EQ(compress2(reinterpret_cast<Bytef*>(&out[0]), &n, reinterpret_cast<const Bytef*>(raw.data()),
                      raw.size(), Z_DEFAULT_COMPRESSION),
            Z_OK);
  out.resize(n);
  return out;
}

std::string adler(const std::string& bytes) {
  return std::to_string(adler32(adler32(0, nullptr, 0), reinterpret_cast<const Bytef*>(bytes.data()),
                                static_cast<uInt>(bytes.size())));
}

// Authorises with any credentials and returns the session handed out.
std::string session_of(GatewayLogic& logic) {
  devgw::Exchange ex = logic.handle({key_auth("k", "agent"), ""});
  EXPECT_EQ(ex.reply.status, 200) << ex.error;
  return ex.reply.session.value_or("");
}

TEST(DevGatewayAuth, ChecksKeyAndAccountCredentials) {
  GatewayConfig keyOnly;
  keyOnly.key = "AK-1";
  keyOnly.name = "web01";
  GatewayConfig account;
  account.email = "ops@example.test";  // password digest left at the empty password's
  GatewayConfig accountWithPassword = account;
  accountWithPassword.passwordDigest = devgw::md5_hex("secret");

  struct Case {
    const char* name;
    const GatewayConfig& config;
    devgw::Headers headers;
    std::string body;
    int status;
    const char* error;  // start of the refusal, "" when accepted
  };
  const std::string emptyDigest = devgw::kEmptyPasswordDigest;
  std::vector<Case> cases = {
      {"key", keyOnly, key_auth("AK-1", "web01"), "", 200, ""},
      {"wrong key", keyOnly, key_auth("AK-2", "web01"), "", 401, "wrong agent key"},
      {"wrong name", keyOnly, key_auth("AK-1", "web02"), "", 401, "agent name 'web02' not accepted"},
      {"no name", keyOnly, {{"Mon-AKey", "AK-1"}}, "", 401, "no Mon-AName"},
      {"account not enabled", keyOnly, account_auth("ops@example.test", emptyDigest, "web01"), "", 401,
       "account authorisation not enabled"},
      {"empty password digest", account, account_auth("ops@example.test", emptyDigest, "any"), "", 200, ""},
      {"e-mail and digest in capitals", account,
       account_auth("OPS@example.test", "D41D8CD98F00B204E9800998ECF8427E", "any"), "", 200, ""},
      {"wrong digest", account, account_auth("ops@example.test", devgw::md5_hex("x"), "any"), "", 401,
       "wrong password digest"},
      {"digest of the password", accountWithPassword,
       account_auth("ops@example.test", "5ebe2294ecd0e0f08eab7690d2a6ee69", "any"), "", 200, ""},
      {"unknown account", account, account_auth("dev@example.test", emptyDigest, "any"), "", 401,
       "unknown account"},
      {"no Mon-Pass", account, {{"Mon-EMail", "ops@example.test"}, {"Mon-AName", "a"}}, "", 401, "no Mon-Pass"},
      {"key not enabled", account, key_auth("AK-1", "web01"), "", 401, "key authorisation not enabled"},
      {"header names in any case", keyOnly, {{"mon-akey", "AK-1"}, {"MON-ANAME", "web01"}}, "", 200, ""},
      {"authorisation with a body", keyOnly, key_auth("AK-1", "web01"), "x", 400, "an authorisation"},
      {"no credentials at all", keyOnly, {{"Mon-AName", "web01"}}, "", 400, "no Mon-SessionID, Mon-AKey or Mon-EMail header"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    GatewayLogic logic(c.config, Plan{});
    devgw::Exchange ex = logic.handle({c.headers, c.body});
    EXPECT_EQ(ex.reply.status, c.status);
    EXPECT_EQ(ex.error.rfind(c.error, 0), 0u) << ex.error;
    if (c.status == 200) {
      ASSERT_TRUE(ex.reply.session.has_value());
      EXPECT_EQ(ex.reply.session->rfind("devgw-", 0), 0u);
      EXPECT_LE(ex.reply.session->size(), 127u);  // what the agent reads of it
    } else {
      EXPECT_FALSE(ex.reply.session.has_value());
      EXPECT_EQ(ex.reply.body, ex.error);  // the agent shows the body in its status text
    }
  }
}

TEST(DevGatewayAuth, DigestOfTheEmptyPassword) {
  EXPECT_EQ(devgw::md5_hex(""), "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_EQ(devgw::md5_hex("abc"), "900150983cd24fb0d6963f7d28e17f72");
}

TEST(DevGatewayAuth, ForcedStatusAndSessionValues) {
  GatewayConfig forced;
  forced.key = "K";
  forced.authStatus = 403;
  GatewayLogic refusing(forced, Plan{});
  for (const char* key : {"K", "wrong"}) {
    devgw::Exchange ex = refusing.handle({key_auth(key, "a"), ""});
    EXPECT_EQ(ex.reply.status, 403) << key;
    EXPECT_FALSE(ex.reply.session.has_value()) << key;
  }

  for (const char* special : {"666666", "111111"}) {
    GatewayConfig config;
    config.replySession = special;
    GatewayLogic logic(config, Plan{});
    devgw::Exchange ex = logic.handle({key_auth("k", "a"), ""});
    EXPECT_EQ(ex.reply.status, 200);
    EXPECT_EQ(ex.reply.session.value_or(""), special);
    // Neither is a session the agent could go on with.
    EXPECT_EQ(logic.handle({data_headers(special, "0", "0"), ""}).reply.status, 401) << special;
  }

  GatewayConfig fixed;
  fixed.replySession = "S-42";
  GatewayLogic logic(fixed, Plan{});
  EXPECT_EQ(logic.handle({key_auth("k", "a"), ""}).reply.session.value_or(""), "S-42");
  EXPECT_EQ(logic.handle({data_headers("S-42", "0", "0"), ""}).reply.status, 200);
}

TEST(DevGatewayData, DecodesCompressedAndRawBodies) {
  const std::string raw = SampleRecords();
  const std::string packed = compress(raw);
  std::vector<std::string> printed;
  std::vector<report::Span> spans;
  report::Error error;
  ASSERT_TRUE(report::split_records(reinterpret_cast<const uint8_t*>(raw.data()), raw.size(), spans, error));
  for (const auto& s : spans) printed.push_back(report::print_record(reinterpret_cast<const uint8_t*>(raw.data()) + s.offset));

  struct Case {
    const char* name;
    std::string body, compression, checksum;
  };
  std::vector<Case> cases = {
      {"compressed with checksum", packed, std::to_string(raw.size()), adler(packed)},
      {"raw without checksum (no zlib)", raw, "0", "0"},
      {"raw with checksum (compression failed)", raw, "0", adler(raw)},
      {"compressed without checksum", packed, std::to_string(raw.size()), "0"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    GatewayLogic logic(GatewayConfig{}, Plan{});
    std::string session = session_of(logic);
    devgw::Exchange ex = logic.handle({data_headers(session, c.compression, c.checksum), c.body});
    EXPECT_EQ(ex.kind, devgw::ExchangeKind::Data);
    ASSERT_EQ(ex.reply.status, 200) << ex.error;
    EXPECT_TRUE(ex.error.empty());
    EXPECT_EQ(ex.bodyBytes, c.body.size());
    ASSERT_EQ(ex.records.size(), 2u);
    EXPECT_EQ(ex.records[0].type.value_or(0), 44u);
    EXPECT_EQ(ex.records[0].testID.value_or(0), 7u);
    EXPECT_EQ(ex.records[1].type.value_or(0), 47u);
    EXPECT_EQ(ex.records[1].testID.value_or(0), 9u);
    EXPECT_EQ(ex.records[0].text, printed[0]);
    EXPECT_EQ(ex.records[1].text, printed[1]);
    EXPECT_EQ(ex.records[1].index, 1u);
  }

  // An empty cache still makes an exchange: no body, both numbers 0.
  GatewayLogic logic(GatewayConfig{}, Plan{});
  devgw::Exchange ex = logic.handle({data_headers(session_of(logic), "0", "0"), ""});
  EXPECT_EQ(ex.reply.status, 200);
  EXPECT_TRUE(ex.records.empty());

  // A record too small to carry a type and test identifier still prints.
  CMonResult2 bare;
  bare.create(1, 0, 0, 0, 0, 0);
  bare.add(int32_t{-5});
  std::string one(static_cast<const char*>(bare.get_pointer()), bare.get_size());
  ex = logic.handle({data_headers(session_of(logic), "0", "0"), one});
  ASSERT_EQ(ex.records.size(), 1u);
  EXPECT_FALSE(ex.records[0].type.has_value());
  EXPECT_FALSE(ex.records[0].testID.has_value());
  EXPECT_NE(ex.records[0].text.find("I32: '-5'"), std::string::npos);
}

TEST(DevGatewayData, RefusesBadRequestsWithoutTakingAPlanGroup) {
  const std::string raw = SampleRecords();
  const std::string packed = compress(raw);
  const std::string size = std::to_string(raw.size());
  const std::string sum = adler(packed);
  std::string garbage = "\x40\x00\x00\x00 not a record at all, only some text";
  struct Case {
    const char* name;
    std::string session;  // "" for the one handed out
    devgw::Headers extra;  // replaces the standard three when not empty
    std::string compression, checksum, body;
    int status;
    const char* error;
  };
  std::vector<Case> cases = {
      {"unknown session", "devgw-0000", {}, size, sum, packed, 401, "unknown session 'devgw-0000'"},
      {"checksum off by one", "", {}, size, std::to_string(std::stoul(sum) + 1), packed, 400,
       "Mon-CheckSum"},
      {"checksum above 32 bits", "", {}, size, "4294967296", packed, 400, "Mon-CheckSum 4294967296 is above"},
      {"declared size one short", "", {}, std::to_string(raw.size() - 1), sum, packed, 400,
       "zlib body, byte"},
      {"declared size one long", "", {}, std::to_string(raw.size() + 1), sum, packed, 400, "zlib body, byte"},
      {"declared size absurd", "", {}, std::to_string((64ull << 20) + 1), sum, packed, 400,
       "Mon-Compression 67108865 is above the limit"},
      {"declared size not a number", "", {}, "12x", sum, packed, 400, "Mon-Compression is not a decimal"},
      {"declared size negative", "", {}, "-1", sum, packed, 400, "Mon-Compression is not a decimal"},
      {"declared size empty", "", {}, "", sum, packed, 400, "Mon-Compression is not a decimal"},
      {"raw body declared compressed", "", {}, size, adler(raw), raw, 400, "zlib body"},
      {"compressed body declared raw", "", {}, "0", sum, packed, 400, "records, byte"},
      {"garbage raw body", "", {}, "0", "0", garbage, 400, "records, byte"},
      {"record cut short", "", {}, "0", "0", raw.substr(0, raw.size() - 3), 400, "records, byte"},
      {"no Mon-CheckSum", "", {{"Mon-Compression", "0"}}, "", "", raw, 400, "no Mon-CheckSum header"},
      {"no Mon-Compression", "", {{"Mon-CheckSum", "0"}}, "", "", raw, 400, "no Mon-Compression header"},
  };
  GatewayLogic logic(GatewayConfig{}, plan_of("POL\t0\t120\n---\nBFS\t100000\n"));
  std::string session = session_of(logic);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    devgw::Headers headers;
    if (c.extra.empty()) {
      headers = data_headers(c.session.empty() ? session : c.session, c.compression, c.checksum);
    } else {
      headers = c.extra;
      headers.emplace_back("Mon-SessionID", session);
    }
    devgw::Exchange ex = logic.handle({headers, c.body});
    EXPECT_EQ(ex.reply.status, c.status);
    EXPECT_EQ(ex.error.rfind(c.error, 0), 0u) << ex.error;
    EXPECT_TRUE(ex.records.empty());
    EXPECT_FALSE(ex.planned);
  }
  // The agent sends the same batch again; it gets the first reply of the plan.
  devgw::Exchange ex = logic.handle({data_headers(session, size, sum), packed});
  EXPECT_EQ(ex.reply.status, 200);
  EXPECT_EQ(ex.reply.body, "POL\t0\t120");
  EXPECT_EQ(ex.records.size(), 2u);
}

TEST(DevGatewayPlan, ParsesGroupsAndDirectives) {
  const std::string text =
      "# first reply\r\n"
      "POL\t0\t120\r\n"
      "CUA\t1\t2\t3\r\n"
      "\r\n"
      "\n"
      "!auth\n"
      "!status 403\n"
      "---\n"
      "!status 500\n"
      "!hang 70\n"
      "---\n"
      "---\n"
      "111111\n"
      "\n"
      "!auth\n"
      "!session\n"
      "\n"
      "!session 222\n"
      "RPL";
  Plan plan = plan_of(text);
  ASSERT_EQ(plan.data.size(), 5u);
  ASSERT_EQ(plan.auth.size(), 2u);
  // Carriage returns of the file are dropped; lines are joined by '\n' alone.
  EXPECT_EQ(plan.data[0].body(), "POL\t0\t120\nCUA\t1\t2\t3");
  EXPECT_EQ(plan.data[0].firstLine, 2);
  EXPECT_EQ(plan.data[1].status.value_or(0), 500);
  EXPECT_EQ(plan.data[1].hangSeconds, 70u);
  EXPECT_EQ(plan.data[2].body(), "");  // "---" right after "---"
  EXPECT_FALSE(plan.data[2].status.has_value());
  EXPECT_EQ(plan.data[3].body(), "111111");  // exactly, or the agent would not drop its session
  EXPECT_EQ(plan.data[4].session.value_or(""), "222");
  EXPECT_EQ(plan.data[4].body(), "RPL");
  EXPECT_EQ(plan.auth[0].status.value_or(0), 403);
  EXPECT_EQ(plan.auth[1].body(), "");
  ASSERT_TRUE(plan.auth[1].session.has_value());
  EXPECT_EQ(*plan.auth[1].session, "");

  struct Bad {
    std::string text;
    const char* error;
  };
  std::vector<Bad> bad = {
      {"POL\t0\t5\n!stat 403\n", "plan line 2: unknown directive '!stat 403'"},
      {"!status 99\n", "plan line 1: !status needs"},
      {"!status 200x\n", "plan line 1: !status needs"},
      {"\n\n!hang 601\n", "plan line 3: !hang needs"},
      {"!hang\n", "plan line 1: !hang needs"},
      {"!auth now\n", "plan line 1: unknown directive"},
      {"!session " + std::string(1025, 'x'), "plan line 1: !session value longer"},
      {"POL\t0\t5\n!session a\\0b\n", "plan line 2: !session value with a zero byte"},
  };
  for (const Bad& b : bad) {
    Plan p;
    std::string error;
    EXPECT_FALSE(devgw::parse_plan(b.text, p, error)) << b.text;
    EXPECT_EQ(error.rfind(b.error, 0), 0u) << error;
  }
}

TEST(DevGatewayPlan, UpgradeOrdersWithOwnAndForeignLocations) {
  Plan plan = plan_of("POL\t0\t5\n!upd 4.03.01 /halvren.zip\n!upd 4.03.02 https://dl.example/a.zip\n---\n"
                      "!auth\n!upd 5 /b.zip\n");
  devgw::complete_own_locations(plan, "http://127.0.0.1:4711");
  devgw::complete_own_locations(plan, "http://127.0.0.1:4711");  // once only
  EXPECT_EQ(plan.data[0].body(),
            "POL\t0\t5\nUPD\t4.03.01\thttp://127.0.0.1:4711/halvren.zip\nUPD\t4.03.02\thttps://dl.example/a.zip");
  EXPECT_EQ(plan.auth[0].body(), "UPD\t5\thttp://127.0.0.1:4711/b.zip");
  for (const char* bad : {"!upd\n", "!upd 4.03\n", "!upd 4.03 /a b\n", "!upd  /a\n"}) {
    Plan p;
    std::string error;
    EXPECT_FALSE(devgw::parse_plan(bad, p, error)) << bad;
    EXPECT_EQ(error, "plan line 1: !upd needs a version and a location") << bad;
  }
}

TEST(DevGatewayPlan, EscapesInLinesAndSessions) {
  using namespace std::string_literals;
  struct Case {
    std::string line;  // as written in the plan file
    std::string sent;
  };
  const Case cases[] = {
      {"111111\\0x", "111111\0x"s},
      {"POL\t0\t5\\0", "POL\t0\t5\0"s},
      {"a\\rb", "a\rb"},
      {"end\\r\r", "end\r"},  // escaped, it survives the end of the line; the file's own CR does not
      {"\\\\r and \\\\0", "\\r and \\0"},
      {"C:\\Windows\\Temp\\", "C:\\Windows\\Temp\\"},  // other backslashes stay
      {"\\\\\\0", "\\\0"s},
  };
  for (const Case& c : cases) {
    // A session cannot carry a zero byte (refused, see ParsesGroupsAndDirectives).
    const bool header = c.sent.find('\0') == std::string::npos;
    Plan plan = plan_of(c.line + (header ? "\n!session " + c.line + "\n" : "\n"));
    ASSERT_EQ(plan.data.size(), 1u) << c.line;
    EXPECT_EQ(plan.data[0].body(), c.sent) << c.line;
    if (header) {
      EXPECT_EQ(plan.data[0].session.value_or("-"), c.sent) << c.line;
    }
  }
  // The lines of a group are joined by line feeds after an escaped zero byte
  // too, and the reply carries both escapes as planned.
  Plan plan = plan_of("POL\t0\t5\\0\nPOL\t0\t1\n!session s\\rX-Injected: 1\n");
  EXPECT_EQ(plan.data[0].body(), "POL\t0\t5\0\nPOL\t0\t1"s);
  GatewayLogic logic(GatewayConfig{}, plan_of("!auth\n!session s\\rX-Injected: 1\nPOL\t0\t5\\0\n"));
  devgw::Exchange ex = logic.handle({key_auth("k", "a"), ""});
  EXPECT_EQ(ex.reply.session.value_or(""), "s\rX-Injected: 1");
  EXPECT_EQ(ex.reply.body, "POL\t0\t5\0"s);
}

TEST(DevGatewayPlan, GroupsAreConsumedInOrder) {
  GatewayLogic logic(GatewayConfig{}, plan_of("!auth\n!status 403\n---\n!auth\nCUA\t1\n---\n"
                                              "POL\t0\t60\n\n!status 500\n!hang 3\n\n!session NEW-1\nRPL\n"));
  EXPECT_EQ(logic.planGroupsLeft(), 5u);

  devgw::Exchange first = logic.handle({key_auth("k", "a"), ""});
  EXPECT_EQ(first.reply.status, 403);
  EXPECT_FALSE(first.reply.session.has_value());
  EXPECT_TRUE(first.planned);
  devgw::Exchange second = logic.handle({key_auth("k", "a"), ""});
  EXPECT_EQ(second.reply.status, 200);
  EXPECT_EQ(second.reply.body, "CUA\t1");
  ASSERT_TRUE(second.reply.session.has_value());
  const std::string session = *second.reply.session;

  auto data = [&](const std::string& s) { return logic.handle({data_headers(s, "0", "0"), ""}); };
  devgw::Exchange ex = data(session);
  EXPECT_EQ(ex.reply.status, 200);
  EXPECT_EQ(ex.reply.body, "POL\t0\t60");
  ex = data(session);
  EXPECT_EQ(ex.reply.status, 500);
  EXPECT_EQ(ex.reply.hangSeconds, 3u);
  ex = data(session);
  EXPECT_EQ(ex.reply.session.value_or(""), "NEW-1");
  EXPECT_EQ(ex.reply.body, "RPL");
  // The agent takes a session from any reply, so the new one is good too.
  EXPECT_EQ(data("NEW-1").reply.status, 200);
  EXPECT_EQ(logic.planGroupsLeft(), 0u);

  // Used up: empty replies, and authorisations get new sessions again.
  ex = data(session);
  EXPECT_EQ(ex.reply.status, 200);
  EXPECT_EQ(ex.reply.body, "");
  EXPECT_FALSE(ex.planned);
  devgw::Exchange third = logic.handle({key_auth("k", "a"), ""});
  EXPECT_NE(third.reply.session.value_or(session), session);
  EXPECT_EQ(third.number, 8u);
}

TEST(DevGatewayLog, EscapesWhatTheAgentSent) {
  struct Case {
    std::string in, json;
  };
  std::vector<Case> cases = {
      {"plain", "\"plain\""},
      {"a\"b\\c", "\"a\\\"b\\\\c\""},
      {"UDC \r\n    SUB UDC\t\x01\x7f", "\"UDC \\r\\n    SUB UDC\\t\\u0001\\u007f\""},
      {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80", "\"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80\""},
      {"bad \xff lead, \xc3 cut, \xc0\xaf overlong, \xed\xa0\x80 surrogate, \xf4\x90\x80\x80 too big",
       "\"bad \xef\xbf\xbd lead, \xef\xbf\xbd cut, \xef\xbf\xbd\xef\xbf\xbd overlong, "
       "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd surrogate, \xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd "
       "too big\""},
      {"ends in \xe2\x82", "\"ends in \xef\xbf\xbd\xef\xbf\xbd\""},
  };
  for (const Case& c : cases) EXPECT_EQ(devgw::json_string(c.in), c.json) << c.in;
  EXPECT_EQ(devgw::printable("a\r\nb\tc\x1b[2J"), "a\\r\\nb\\tc\\x1b[2J");

  GatewayLogic logic(GatewayConfig{}, Plan{});
  std::string session = session_of(logic);
  const std::string raw = SampleRecords();
  devgw::Exchange ex = logic.handle({data_headers(session, "0", adler(raw)), raw});
  std::string line = devgw::exchange_line(ex);
  EXPECT_EQ(line.rfind("exchange 2: data, Mon-SessionID='" + session + "' Mon-Compression='0'", 0), 0u) << line;
  EXPECT_NE(line.find(", body " + std::to_string(raw.size()) + " bytes, records 2, status 200, reply 0 lines"),
            std::string::npos)
      << line;
  // The nested record's line break stays on one output line.
  std::string record = devgw::record_line(ex.records[0]);
  EXPECT_EQ(record.rfind("record: UDC | UI32: '44' (CPU) ", 0), 0u) << record;
  EXPECT_EQ(record.find('\n'), std::string::npos);
  EXPECT_NE(record.find("\\r\\n    SUB UDC"), std::string::npos);
  EXPECT_EQ(devgw::record_json(2, ex.records[1]).rfind(
                "{\"event\":\"record\",\"exchange\":2,\"record\":1,\"type\":47,\"testID\":9,\"text\":\"UDC", 0),
            0u);

  devgw::Exchange bad = logic.handle({data_headers("nope", "0", "0"), ""});
  EXPECT_NE(devgw::exchange_line(bad).find(", status 401, error: unknown session 'nope'"), std::string::npos);
  std::string json = devgw::exchange_json(bad);
  EXPECT_NE(json.find("\"kind\":\"data\""), std::string::npos) << json;
  EXPECT_NE(json.find("\"error\":\"unknown session 'nope'\""), std::string::npos) << json;
  EXPECT_NE(json.find("\"session\":null"), std::string::npos) << json;
}

}  // namespace
