#include "agent/service/AccessPolicy.h"

bool RequiresAdministrator(ControlMethod method) {
  switch (method) {
    case ControlMethod::StartWork:
    case ControlMethod::StopWork:
    case ControlMethod::Register:
    case ControlMethod::UnRegister:
    case ControlMethod::SetProxy:
    case ControlMethod::SetTrace:
    case ControlMethod::CollectLogs:
    case ControlMethod::GetRegisteredAgentKey:
    case ControlMethod::GetRegisteredEMail: return true;
    default: return false;
  }
}

bool MayCall(ControlMethod method, const CallerFacts& caller) {
  if (!RequiresAdministrator(method)) return true;
  switch (caller.context) {
    case CallerFacts::Context::none: return true;
    case CallerFacts::Context::client: return caller.system || caller.administrator;
    case CallerFacts::Context::unknown: break;
  }
  return false;
}
