#include "platform/event_log_reader.h"

namespace {

class NoEventLog : public IEventLogReader {
 public:
  std::unique_ptr<IEventLog> Open(const std::string&, const std::string&, uint32_t& error) override {
    error = kEventLogNotSupported;
    return nullptr;
  }
  bool MessageText(const std::string&, const std::string&, uint32_t, const std::vector<std::string>&,
                   std::string&) override {
    return false;
  }
  bool LookupAccount(const std::vector<uint8_t>&, std::string&, std::string&, uint32_t&) override {
    return false;
  }
  std::string ErrorText(uint32_t) override { return "The request is not supported."; }
};

}  // namespace

IEventLogReader& NoEventLogReader() {
  static NoEventLog none;  // keeps no state
  return none;
}
