// ISnmpReads: how the CPU and memory monitors read a remote host: one GET of
// several OIDs and one GET-NEXT step, each giving a read code (0 read, 1 no
// session, 2 not sent, 3 no answer, 10 refused by the agent) and (OID, value
// text, syntax) per answer. The table walk over GET-NEXT steps is shared
// (SnmpWalk). CSnmpClientReads is the real one, over CSnmpClient; tests hand
// in a fake with canned answers.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "corelib/SnmpClient.h"
#include "corelib/snmp_codec.h"

struct SnmpAnswer {
  std::string oid;
  std::string value;
  int syntax = 19;
};

namespace snmp_reads {

// Read codes besides mon_values' 1 to 3.
constexpr int kRead = 0;
constexpr int kNoSession = 1;
constexpr int kNotSent = 2;
constexpr int kNoAnswer = 3;
constexpr int kRefused = 10;  // the agent answered with an error status
constexpr int kNothingToRead = -1;

// Syntax codes the readers look at.
constexpr int kSyntaxInteger = 9;
constexpr int kSyntaxOctetString = 8;
constexpr int kSyntaxCounter32 = 14;

// How the remote reads talk to a host (as the monitors have always done).
constexpr uint32_t kPort = 161;
constexpr const char* kCommunity = "public";
constexpr uint32_t kTimeout = 10;
constexpr uint32_t kRetry = 1;
constexpr int32_t kVersion = 2;
constexpr uint32_t kWalkStepWaitMs = 10000;
// A table longer than this is cut off: a host answering ever-growing names
// must not keep a check pass forever.
constexpr size_t kMaxWalkRows = 10000;

}  // namespace snmp_reads

class ISnmpReads {
 public:
  using StopFn = std::function<bool()>;
  virtual ~ISnmpReads() = default;
  // The answers in request order.
  virtual int Get(const std::string& host, const std::vector<std::string>& oids, uint32_t waitMs,
                  std::vector<SnmpAnswer>& answers, const StopFn& stopped) = 0;
  // One GET-NEXT of `oid`: the answers (normally one).
  virtual int GetNext(const std::string& host, const std::string& oid, uint32_t waitMs,
                      std::vector<SnmpAnswer>& answers, const StopFn& stopped) = 0;
};

// The rows of the table `table`: GET-NEXT from the table's name until an
// answer is not exactly one variable, is no value (syntax 19, 20, 21), is not
// past the name asked, or lies outside the table; after kMaxWalkRows rows or
// on a stop. A failure before the first row is its code; after it the walk
// just ends with what it has.
inline int SnmpWalk(ISnmpReads& reads, const std::string& host, const std::string& table, uint32_t stepWaitMs,
                    std::vector<SnmpAnswer>& rows, const ISnmpReads::StopFn& stopped) {
  rows.clear();
  snmp::Oid root, asked;
  if (table.empty() || !snmp::ParseOid(table, root)) return snmp_reads::kNothingToRead;
  asked = root;
  std::string current = table;
  while (rows.size() < snmp_reads::kMaxWalkRows) {
    if (stopped && stopped()) break;
    std::vector<SnmpAnswer> answers;
    const int code = reads.GetNext(host, current, stepWaitMs, answers, stopped);
    if (code != snmp_reads::kRead) return rows.empty() ? code : snmp_reads::kRead;
    if (answers.size() != 1) break;
    const SnmpAnswer& a = answers[0];
    if (a.syntax == 19 || a.syntax == 20 || a.syntax == 21) break;
    snmp::Oid got;
    if (!snmp::ParseOid(a.oid, got) || snmp::CompareOid(got, asked) <= 0 || !snmp::OidInSubtree(got, root))
      break;
    rows.push_back(a);
    asked = got;
    current = a.oid;
  }
  return snmp_reads::kRead;
}

// Over the SNMP client: a fresh client per request, as the protocol's
// one-request clients are meant to be used.
class CSnmpClientReads : public ISnmpReads {
 public:
  CSnmpClientReads() { init_snmp_lib(); }

  int Get(const std::string& host, const std::vector<std::string>& oids, uint32_t waitMs,
          std::vector<SnmpAnswer>& answers, const StopFn& stopped) override {
    std::string joined;
    for (const std::string& o : oids) joined += (joined.empty() ? "" : ";") + o;
    if (joined.empty()) return snmp_reads::kNothingToRead;
    return Request(host, joined, false, waitMs, answers, stopped);
  }

  int GetNext(const std::string& host, const std::string& oid, uint32_t waitMs,
              std::vector<SnmpAnswer>& answers, const StopFn& stopped) override {
    return Request(host, oid, true, waitMs, answers, stopped);
  }

 private:
  static bool Stopped(void* context) {
    const StopFn* stopped = static_cast<const StopFn*>(context);
    return *stopped && (*stopped)();
  }

  int Request(const std::string& host, const std::string& oids, bool getNext, uint32_t waitMs,
              std::vector<SnmpAnswer>& answers, const StopFn& stopped) {
    using namespace snmp_reads;
    answers.clear();
    CSnmpClient client(false);
    if (!client.InitInst(host.c_str(), kPort, kCommunity, oids.c_str(), kTimeout, kRetry, kVersion, nullptr,
                         getNext))
      return kNoSession;
    client.SetAbortCheck(&Stopped, const_cast<StopFn*>(&stopped));
    if (!client.SendRequest()) return kNotSent;
    if (!client.wait(waitMs)) return kNoAnswer;
    const size_t n = client.VariableCount();
    if (n == 0)
      return client.LastError().empty() || client.LastError() == "Request timed out" ? kNoAnswer : kRefused;
    for (size_t i = 0; i < n; ++i) {
      SnmpVariable v;
      if (!client.GetVariable(i, v)) break;
      answers.push_back(SnmpAnswer{v.oid, v.value, v.syntax});
    }
    return kRead;
  }
};

// For monitors built without a seam of their own: the real reads (they keep
// no state).
inline ISnmpReads& DefaultSnmpReads() {
  static CSnmpClientReads reads;
  return reads;
}
