// What the monitors' results share: -1 for a threshold that is not set and
// for a value that was not measured, the status of a result, and the status a
// failed remote read gives.
#pragma once

#include <cstdint>
#include <string>

#include "agent/LogFormat.h"

namespace mon_values {

constexpr int kUnset = -1;

template <typename T>
bool IsSet(T value) {
  return value != kUnset;
}

// A threshold fires only against a value that was measured.
template <typename V, typename L>
bool Applies(V value, L limit) {
  return IsSet(limit) && IsSet(value);
}

enum ResultStatus : uint32_t {
  kWithinLimits = 0,
  kThresholdReached = 2,
  kRemoteValuesMissing = 10,
  kRemoteNoSession = 11,
  kRemoteNotSent = 12,
  kRemoteNoAnswer = 13,
};

// Codes of a remote read (GetOIDValuesFromHost and the table walk): 0 read,
// 1 no SNMP session could be set up, 2 the request could not be sent, 3 no
// answer in time; anything else means values are missing.
constexpr int kReadNoSession = 1;

inline uint32_t RemoteFailureStatus(int code) {
  switch (code) {
    case 1: return kRemoteNoSession;
    case 2: return kRemoteNotSent;
    case 3: return kRemoteNoAnswer;
    default: return kRemoteValuesMissing;
  }
}

}  // namespace mon_values
