// What the agent program was asked to do, from the arguments after its name.
// Only whole arguments are switches: a blank-separated word inside a quoted
// path ("C:\x -Service y\") never is. The registration switches outrank
// "Service", which outranks "console"; anything else starts the program
// (a plain start by the Service Control Manager or COM's "-Embedding").
#pragma once

#include <string>
#include <vector>

enum class ProgramAction {
  RegServer,
  UnregServer,
  RegServerPerUser,
  UnregServerPerUser,
  Service,  // install as a service (and register the COM class)
  Console,  // run the worker in the foreground
  Start,    // run as the service or as a COM local server
};

// `args` are the arguments after the program's name, one entry each.
ProgramAction ParseProgramArguments(const std::vector<std::string>& args);

// Whether the action registers or unregisters and then exits with its HRESULT.
inline bool IsRegistration(ProgramAction action) {
  return action != ProgramAction::Console && action != ProgramAction::Start;
}
