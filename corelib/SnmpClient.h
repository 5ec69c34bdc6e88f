// CSnmpClient: one SNMP request (GET or GET-NEXT of one or more OIDs to one
// agent) over the engine's own UDP transport, or, built as a listener, the
// receiver of SNMPv2c traps and informs. A request client keeps every
// returned variable as OID text, syntax code, value text, min/max status and
// a ready-made nested record; a listener turns each binding it receives into
// a result record (type 61) on a bounded pending list.
//
// A request is received by the thread that waits for it: `wait` sends the
// retransmissions and reads the answers, in slices, so `cancelRequest` from
// another thread ends it within one slice and nothing runs for the client
// once `wait` has returned. A listener receives on a thread of its own that
// RegisterTrap(false) and the destructor join.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "corelib/MonResult2.h"
#include "corelib/corelib_api.h"

// Checks that the engine can start (the sockets are usable); non-zero on
// success. Clients initialised before it succeeded fail with
// "SnmpStartup failed/not called".
extern "C" CORELIB_API int init_snmp_lib();

// One returned variable of a request.
struct SnmpVariable {
  std::string oid;      // dotted, no leading dot
  int syntax = 19;      // the agent's syntax code
  std::string value;    // as the results show it ("" for no text)
  uint32_t status = 0;  // 0 within limits, 2 out of them or no such object
  std::string message;  // the status text
};

class CORELIB_API CSnmpClient {
 public:
  explicit CSnmpClient(bool listener = false);
  ~CSnmpClient();
  CSnmpClient(const CSnmpClient&) = delete;
  CSnmpClient& operator=(const CSnmpClient&) = delete;

  // Prepares one request (or, for a listener, the listener). Version 1 is
  // SNMPv1, any other value SNMPv2c. On false LastError() holds the reason.
  bool InitInst(const char* host, uint32_t port, const char* community, const char* oids, uint32_t timeout,
                uint32_t retry, int32_t version, const char* minmax, bool getNext);
  bool SendRequest();
  // Waits up to `ms` for the answer, retransmitting as the request's timeout
  // and retry say. True when the request ended (answered, refused by the
  // agent, or out of retransmissions: LastError() tells); false on the
  // caller's own time-out ("Request timed out") or before a request was sent.
  bool wait(uint32_t ms);
  // Ends the outstanding request (from any thread): answers arriving later are
  // dropped, and a wait in progress returns within one receive slice. On a
  // listener it wakes WaitForTraps.
  void cancelRequest();
  // While `abort(context)` answers true, waits end as if cancelled (checked
  // every slice). Set before the request is sent.
  void SetAbortCheck(bool (*abort)(void*), void* context);

  // Listener only: receives on `port` (0 or above 65535: 162).
  bool RegisterTrap(bool on, uint32_t port = 162);
  // The testID and lid written into every trap record; stamp before registering.
  void SetTrapStamp(int32_t testID, int32_t lid);
  // Waits up to `ms` for new trap records, then resets the event; true when signalled.
  bool WaitForTraps(uint32_t ms);
  // Moves the pending trap records out; the list is empty afterwards.
  std::vector<CMonResult2> TakeTraps();
  // Trap records dropped because the pending list was full, since the start.
  uint64_t DroppedTraps() const;

  size_t OidCount() const;       // OIDs parsed by InitInst
  size_t VariableCount() const;  // variables kept from the answer
  bool GetVariable(size_t i, SnmpVariable& out) const;
  // The nested record of variable i (syntax, status, value, message).
  bool GetVariableRecord(size_t i, CMonResult2& out) const;
  double ResponseTime() const;  // milliseconds from sending to the answer
  std::string LastError() const;
  std::string Responder() const;  // dotted IPv4 address of the answering agent

  // Kept for the monitors that free client records.
  static void DeleteResult(CMonResult2* result);

 private:
  struct Impl;
  Impl* m_impl;
};
