// A monitor whose passes the test drives by calling MakeCheck: adding a test
// starts no check thread.
#pragma once

template <class Monitor>
class ManualMonitor : public Monitor {
 public:
  using Monitor::Monitor;
  bool Start() override { return true; }
};
