// Who may call what on the control object. The object runs as LocalSystem, so a
// call that changes the agent (its work, registration, proxy, trace), reads its
// secrets or has SYSTEM write files needs SYSTEM or an administrator; status
// reads and subscribing to events stay open to the interactive users the
// process's COM security admits. The decision is pure; the caller's facts come
// from a seam (impersonation and token membership on Windows).
#pragma once

enum class ControlMethod {
  StartWork,
  StopWork,
  GetStatus,
  GetCurrentTestsList,
  Register,
  GetRegisteredEMail,
  GetRegisteredAgentKey,
  GetRegisteredName,
  UnRegister,
  SetProxy,
  GetProxy,
  IsTraceOn,
  SetTrace,
  GetTracePath,
  CollectLogs,
  Advise,
  Unadvise,
};

struct CallerFacts {
  enum class Context {
    none,     // not inside a COM call: the process itself
    client,   // a client, identified
    unknown,  // the client could not be identified (impersonation or token failed)
  };
  Context context = Context::unknown;
  bool system = false;         // S-1-5-18
  bool administrator = false;  // S-1-5-32-544, enabled in the token
};

bool RequiresAdministrator(ControlMethod method);
bool MayCall(ControlMethod method, const CallerFacts& caller);

// The seam: facts about the caller of the COM call running on this thread.
class ICallerIdentity {
 public:
  virtual ~ICallerIdentity() = default;
  virtual CallerFacts Identify() = 0;
};
