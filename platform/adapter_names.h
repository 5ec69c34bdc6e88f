// What the network adapter monitor asks of the operating system: the names of
// the machine's network interfaces as its TCP/IP performance counters know
// them. The seam joins whatever apartment its calling thread needs for the
// call and leaves it as it found it.
#pragma once

#include <functional>
#include <string>
#include <vector>

class IAdapterNames {
 public:
  virtual ~IAdapterNames() = default;
  // Fills `names` (cleared first; left empty on any failure, each failure
  // written through `log` without the monitor's tag); false on a failure.
  virtual bool List(std::vector<std::string>& names, const std::function<void(const std::string&)>& log) = 0;
};
