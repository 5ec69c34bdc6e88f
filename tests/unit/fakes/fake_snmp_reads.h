// Remote reads with canned answers: a GET answers from a table of OIDs, a
// GET-NEXT from an ordered MIB (or from scripted steps), and each can be made
// to fail with a read code. Counts what was asked.
#pragma once

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "agent/Plugins/SnmpReads.h"
#include "corelib/snmp_codec.h"

class FakeSnmpReads : public ISnmpReads {
 public:
  void Set(const std::string& oid, const std::string& value, int syntax) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_mib[oid] = SnmpAnswer{oid, value, syntax};
  }
  void Clear() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_mib.clear();
  }
  void Counter(const std::string& oid, uint64_t v) { Set(oid, std::to_string(v), 14); }
  void Integer(const std::string& oid, int64_t v) { Set(oid, std::to_string(v), 9); }
  void Text(const std::string& oid, const std::string& v) { Set(oid, v, 8); }
  void FailGet(int code) { m_getCode = code; }
  void FailNext(int code) { m_nextCode = code; }
  // Scripted GET-NEXT answers, in order, instead of the MIB (one list per step).
  void ScriptNext(std::vector<std::vector<SnmpAnswer>> steps) { m_steps = std::move(steps); }

  int Get(const std::string&, const std::vector<std::string>& oids, uint32_t waitMs,
          std::vector<SnmpAnswer>& answers, const StopFn&) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    lastGet = oids;
    lastGetWait = waitMs;
    ++gets;
    answers.clear();
    if (m_getCode != 0) return m_getCode;
    for (const std::string& o : oids) {
      auto it = m_mib.find(o);
      answers.push_back(it != m_mib.end() ? it->second : SnmpAnswer{o, "no such object", 20});
    }
    return 0;
  }

  int GetNext(const std::string&, const std::string& oid, uint32_t waitMs, std::vector<SnmpAnswer>& answers,
              const StopFn&) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    lastNextWait = waitMs;
    answers.clear();
    const size_t step = nexts++;
    if (m_nextCode != 0) return m_nextCode;
    if (!m_steps.empty()) {
      if (step < m_steps.size()) answers = m_steps[step];
      return 0;
    }
    snmp::Oid asked, best;
    snmp::ParseOid(oid, asked);
    const SnmpAnswer* found = nullptr;
    for (const auto& entry : m_mib) {
      snmp::Oid o;
      snmp::ParseOid(entry.first, o);
      if (snmp::CompareOid(o, asked) > 0 && (!found || snmp::CompareOid(o, best) < 0)) {
        found = &entry.second;
        best = o;
      }
    }
    answers.push_back(found ? *found : SnmpAnswer{oid, "end of mib", 19});
    return 0;
  }

  std::vector<std::string> lastGet;
  uint32_t lastGetWait = 0, lastNextWait = 0;
  int gets = 0, nexts = 0;

 private:
  std::mutex m_mutex;
  std::map<std::string, SnmpAnswer> m_mib;
  int m_getCode = 0, m_nextCode = 0;
  std::vector<std::vector<SnmpAnswer>> m_steps;
};
