// What the event log monitor asks of the operating system: an event log opened
// on this machine or another one, its record count and oldest record number,
// one record read by number, a record's message text from its source's message
// file, and the account behind a SID. Raw answers only; the monitor parses the
// records (event_log_record.h) and builds the texts.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// The system's error codes the monitor tells apart.
constexpr uint32_t kEventLogInsufficientBuffer = 122;  // the read names the size it needs
constexpr uint32_t kEventLogInvalidData = 13;          // a record that does not parse
constexpr uint32_t kEventLogNotSupported = 50;

// One open event log; closed when it goes. Used by one check's thread only.
class IEventLog {
 public:
  virtual ~IEventLog() = default;
  // False with the system error when the figure cannot be read.
  virtual bool Count(uint32_t& records, uint32_t& error) = 0;
  virtual bool Oldest(uint32_t& number, uint32_t& error) = 0;
  // Reads record `number` (forwards, by number) into `buffer`. 0 with `read`
  // set, kEventLogInsufficientBuffer with `needed` set, or another system error.
  virtual uint32_t Read(uint32_t number, uint8_t* buffer, uint32_t size, uint32_t& read,
                        uint32_t& needed) = 0;
};

class IEventLogReader {
 public:
  virtual ~IEventLogReader() = default;
  // `server` is "\\host" or empty for this machine. Null with the system
  // error when the log cannot be opened.
  virtual std::unique_ptr<IEventLog> Open(const std::string& server, const std::string& logName,
                                          uint32_t& error) = 0;
  // The message `eventID` of the source's message file with `inserts` put in;
  // false when the source has no message file or the message cannot be made.
  virtual bool MessageText(const std::string& logName, const std::string& source, uint32_t eventID,
                           const std::vector<std::string>& inserts, std::string& text) = 0;
  // The account of a SID on this machine; false when it cannot be looked up.
  virtual bool LookupAccount(const std::vector<uint8_t>& sid, std::string& name, std::string& domain,
                             uint32_t& use) = 0;
  // The system's text for an error, trailing line break dropped; empty when
  // the system has none.
  virtual std::string ErrorText(uint32_t error) = 0;
};

// For a worker built without event logs (native runs): every open fails.
IEventLogReader& NoEventLogReader();
