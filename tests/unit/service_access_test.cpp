#include <gtest/gtest.h>

#include "agent/service/AccessPolicy.h"

namespace {

using Ctx = CallerFacts::Context;

TEST(ServiceAccess, DecisionTable) {
  const CallerFacts user{Ctx::client, false, false};
  const CallerFacts admin{Ctx::client, false, true};
  const CallerFacts system{Ctx::client, true, false};
  const CallerFacts self{Ctx::none, false, false};
  const CallerFacts unknown{Ctx::unknown, true, true};  // unidentified: the flags mean nothing
  struct Row {
    ControlMethod method;
    bool user, admin, system, self, unknown;
  };
  const Row rows[] = {
      {ControlMethod::StartWork, false, true, true, true, false},
      {ControlMethod::StopWork, false, true, true, true, false},
      {ControlMethod::Register, false, true, true, true, false},
      {ControlMethod::UnRegister, false, true, true, true, false},
      {ControlMethod::SetProxy, false, true, true, true, false},
      {ControlMethod::SetTrace, false, true, true, true, false},
      {ControlMethod::CollectLogs, false, true, true, true, false},
      {ControlMethod::GetRegisteredAgentKey, false, true, true, true, false},
      {ControlMethod::GetRegisteredEMail, false, true, true, true, false},
      {ControlMethod::GetStatus, true, true, true, true, true},
      {ControlMethod::GetRegisteredName, true, true, true, true, true},
      {ControlMethod::GetProxy, true, true, true, true, true},
      {ControlMethod::IsTraceOn, true, true, true, true, true},
      {ControlMethod::GetTracePath, true, true, true, true, true},
      {ControlMethod::GetCurrentTestsList, true, true, true, true, true},
      {ControlMethod::Advise, true, true, true, true, true},
      {ControlMethod::Unadvise, true, true, true, true, true},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(static_cast<int>(r.method));
    EXPECT_EQ(MayCall(r.method, user), r.user);
    EXPECT_EQ(MayCall(r.method, admin), r.admin);
    EXPECT_EQ(MayCall(r.method, system), r.system);
    EXPECT_EQ(MayCall(r.method, self), r.self);
    EXPECT_EQ(MayCall(r.method, unknown), r.unknown);
  }
}

}  // namespace
