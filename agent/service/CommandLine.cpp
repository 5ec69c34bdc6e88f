#include "agent/service/CommandLine.h"

#include <cctype>

namespace {

bool SameWord(const std::string& word, const char* name) {
  size_t i = 0;
  for (; i < word.size() && name[i] != '\0'; ++i) {
    if (std::tolower(static_cast<unsigned char>(word[i])) !=
        std::tolower(static_cast<unsigned char>(name[i])))
      return false;
  }
  return i == word.size() && name[i] == '\0';
}

// The switch named by one argument: '-' or '/' and then exactly the name.
bool IsSwitch(const std::string& arg, const char* name) {
  if (arg.size() < 2 || (arg[0] != '-' && arg[0] != '/')) return false;
  return SameWord(arg.substr(1), name);
}

bool AnyIs(const std::vector<std::string>& args, const char* name) {
  for (const std::string& arg : args)
    if (IsSwitch(arg, name)) return true;
  return false;
}

}  // namespace

ProgramAction ParseProgramArguments(const std::vector<std::string>& args) {
  // The first registration switch on the line decides.
  struct Registration {
    const char* name;
    ProgramAction action;
  };
  static const Registration kRegistrations[] = {
      {"RegServer", ProgramAction::RegServer},
      {"UnregServer", ProgramAction::UnregServer},
      {"RegServerPerUser", ProgramAction::RegServerPerUser},
      {"UnregServerPerUser", ProgramAction::UnregServerPerUser},
  };
  for (const std::string& arg : args)
    for (const Registration& r : kRegistrations)
      if (IsSwitch(arg, r.name)) return r.action;
  if (AnyIs(args, "Service")) return ProgramAction::Service;
  if (AnyIs(args, "console")) return ProgramAction::Console;
  return ProgramAction::Start;
}
