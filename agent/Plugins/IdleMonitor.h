// A monitor slot whose monitor is not built in yet: it accepts no test line, so
// the worker tries such lines as commands (where they match nothing).
#pragma once

#include "agent/Plugins/MonCheckerBase.h"

template <class Owner>
class CIdleMonitor : public CMonCheckerBase<Owner> {
 public:
  bool ProcessTest(const char*) override { return false; }
  void MakeCheck() override {}
  void ResetSchedule() override {}
};
