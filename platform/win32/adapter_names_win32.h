// The adapter names from WMI's TCP/IP performance class. The call joins the
// multithreaded apartment for its duration (or uses the apartment the calling
// thread is already in), so it works on any thread of the agent.
#pragma once

#include "platform/adapter_names.h"

class AdapterNamesWin32 : public IAdapterNames {
 public:
  bool List(std::vector<std::string>& names, const std::function<void(const std::string&)>& log) override;
};
