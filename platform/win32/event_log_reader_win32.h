// The event logs through the system's classic event log calls; message texts
// from the sources' message files registered under the EventLog key of this
// machine, accounts looked up on this machine.
#pragma once

#include "platform/event_log_reader.h"

class EventLogReaderWin32 : public IEventLogReader {
 public:
  std::unique_ptr<IEventLog> Open(const std::string& server, const std::string& logName,
                                  uint32_t& error) override;
  bool MessageText(const std::string& logName, const std::string& source, uint32_t eventID,
                   const std::vector<std::string>& inserts, std::string& text) override;
  bool LookupAccount(const std::vector<uint8_t>& sid, std::string& name, std::string& domain,
                     uint32_t& use) override;
  std::string ErrorText(uint32_t error) override;
};
