// CNetMon: takes no tests. It keeps the list of the machine's network
// interfaces that the owner reports whenever it changes; it is one of the
// monitors so that it is stopped with them.
#pragma once

#include <string>
#include <vector>

#include "agent/Plugins/InventoryList.h"
#include "agent/Plugins/MonCheckerBase.h"
#include "corelib/ExceptionRecord.h"
#include "platform/adapter_names.h"

template <class Owner>
class CNetMon : public CMonCheckerBase<Owner> {
  using Base = CMonCheckerBase<Owner>;

 public:
  static constexpr uint32_t kListType = 39;

  explicit CNetMon(IAdapterNames& adapters) : m_adapters(adapters) { this->m_unitName = "Plugins/net_mon"; }
  ~CNetMon() override { this->Shutdown(); }

  bool ProcessTest(const char*) override { return false; }
  void MakeCheck() override {}
  void ResetSchedule() override {}

  // A restarted monitor sends its list again.
  void FinishStop(typename Base::Clock::time_point deadline) override {
    Base::FinishStop(deadline);
    ResetNetAdapterList();
  }

  // Fills `record` with the adapter names when they changed since the last
  // report; false when they did not, or the machine lists none.
  bool get_netadapter_list(CMonResult2& record) {
    try {
      std::vector<std::string> names;
      m_adapters.List(names, [this](const std::string& line) { Log(line); });
      switch (m_names.Update(std::move(names), kListType, record)) {
        case CInventoryList::Change::Sent: return true;
        case CInventoryList::Change::Unchanged: Log("Adapter list is not changed."); break;
        case CInventoryList::Change::EmptyKept: Log("Adapter list is empty."); break;
      }
    } catch (...) {
      LOG_EXCEPTION_RECORD(this->m_unitName);
    }
    return false;
  }

  // The next get_netadapter_list sends the list in full.
  void ResetNetAdapterList() {
    try {
      m_names.Clear();
    } catch (...) {
      LOG_EXCEPTION_RECORD(this->m_unitName);
    }
  }

 private:
  void Log(const std::string& text) { this->WriteLog(0, ("mon_net: " + text).c_str()); }

  IAdapterNames& m_adapters;
  CInventoryList m_names{false};  // an empty list is remembered, not sent
};
