// The network adapter monitor over the adapter seam's fake, with recorded name
// sets.
#include "agent/Plugins/net_mon.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/unit/fakes/fake_adapter_names.h"
#include "tests/unit/fakes/recording_owner.h"

namespace {

using Answer = FakeAdapterNames::Answer;

TEST(NetMonFake, ChangesEmptyListsFailuresStopAndResend) {
  FakeAdapterNames adapters;
  RecordingOwner owner;
  CNetMon<RecordingOwner> mon(adapters);
  mon.SetOwner(&owner);
  EXPECT_FALSE(mon.ProcessTest("NTA\t1\t2"));

  const char* kFailure = "FillNetAdapterList. ExecQuery failed with error -2147217385.";
  adapters.Queue({
      {{"eth1", "eth0", "eth0"}, ""},   // first report, sorted, once each
      {{"eth0", "eth1"}, ""},           // unchanged
      {{"eth0", "eth1", "wlan0"}, ""},  // one added: the whole list again
      {{}, ""},                         // empty: remembered, not sent
      {{"eth0"}, ""},                   // names again after the empty list
      {{"eth0"}, kFailure},             // a failure midway clears the set
      {{"eth0"}, ""},                   // and the next success resends
  });
  struct Step {
    bool sent;
    const char* text;  // the record's text, or the line logged
  } steps[] = {
      {true, "eth0\teth1\t"},
      {false, "mon_net: Adapter list is not changed."},
      {true, "eth0\teth1\twlan0\t"},
      {false, "mon_net: Adapter list is empty."},
      {true, "eth0\t"},
      {false, "mon_net: Adapter list is empty."},
      {true, "eth0\t"},
  };
  for (const Step& s : steps) {
    SCOPED_TRACE(s.text);
    owner.Clear();
    CMonResult2 r;
    ASSERT_EQ(mon.get_netadapter_list(r), s.sent);
    if (s.sent) {
      UdcView v =
          ViewRecord(std::vector<uint8_t>(static_cast<const uint8_t*>(r.get_pointer()),
                                          static_cast<const uint8_t*>(r.get_pointer()) + r.get_size()));
      EXPECT_EQ(v.ui32, (std::vector<uint32_t>{39, 0, 0}));
      EXPECT_EQ(v.i64.size(), 1u);
      EXPECT_EQ(v.str, std::vector<std::string>{s.text});
    } else {
      EXPECT_TRUE(owner.Logged(s.text));
    }
  }

  // Unchanged, then after Stop and after a resend order the same list goes out.
  CMonResult2 r;
  EXPECT_FALSE(mon.get_netadapter_list(r));
  mon.Stop();
  CMonResult2 afterStop;
  EXPECT_TRUE(mon.get_netadapter_list(afterStop));
  CMonResult2 again;
  EXPECT_FALSE(mon.get_netadapter_list(again));
  mon.ResetNetAdapterList();
  CMonResult2 afterResend;
  EXPECT_TRUE(mon.get_netadapter_list(afterResend));
}

TEST(NetMonFake, AFailureIsLoggedWithTheTag) {
  FakeAdapterNames adapters;
  RecordingOwner owner;
  CNetMon<RecordingOwner> mon(adapters);
  mon.SetOwner(&owner);
  adapters.Queue({{{}, "FillNetAdapterList. CoCreateInstance failed with error -2147221164."}});
  CMonResult2 r;
  EXPECT_FALSE(mon.get_netadapter_list(r));
  EXPECT_TRUE(owner.Logged("mon_net: FillNetAdapterList. CoCreateInstance failed with error -2147221164."));
  EXPECT_TRUE(owner.Logged("mon_net: Adapter list is not changed."));  // empty, as at construction
}

}  // namespace
