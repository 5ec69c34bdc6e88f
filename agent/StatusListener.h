// Receives the worker's status events (code, text); the COM control object
// forwards them to the user interface, the console mode prints them.
#pragma once

#include <cstdint>
#include <string>

class IStatusListener {
 public:
  virtual ~IStatusListener() = default;
  virtual void StatusChanged(uint32_t code, const std::string& text) = 0;
};
