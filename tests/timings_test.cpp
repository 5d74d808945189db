// The program's timers: the values a household gets, and the test seam that
// shortens them.
#include <gtest/gtest.h>

#include <vector>

#include "server/change_hub.h"
#include "server/timings.h"

namespace {

// Every timer, in the order the seam's names are documented.
std::vector<int> all(const Timings& t) {
  return {t.curlSeconds,
          t.pingSeconds,
          t.requestSeconds,
          t.keepAliveSeconds,
          t.readSeconds,
          t.deadPeer.idleSeconds,
          t.deadPeer.intervalSeconds,
          t.deadPeer.probes,
          t.deadPeer.unacknowledgedSeconds};
}

const std::vector<int> kProduction = {30, 20, 10, 5, 5, 10, 5, 3, 15};

TEST(Timings, WithoutTheVariableEveryTimerHasItsProductionValue) {
  EXPECT_EQ(all(Timings()), kProduction);
  EXPECT_EQ(all(timingsFromText(nullptr)), kProduction);
  EXPECT_EQ(all(timings), kProduction);  // what the program runs with until main reads the variable
  // A hub's own wait, before main sets it from the timers, is the same ping interval.
  ChangeHub hub;
  EXPECT_EQ(hub.waitLimit, std::chrono::seconds(20));
}

TEST(Timings, TheVariableSetsTheTimersItNamesAndNothingElse) {
  struct Case {
    const char* text;
    std::vector<int> expected;
  } const cases[] = {
      {"curl=2,ping=1,request=3,keepalive=1,read=4,peeridle=1,peerinterval=1,peerprobes=2,peerunacked=3",
       {2, 1, 3, 1, 4, 1, 1, 2, 3}},
      {"", kProduction},
      {"curl=2", {2, 20, 10, 5, 5, 10, 5, 3, 15}},
      {"read=1", {30, 20, 10, 5, 1, 10, 5, 3, 15}},
      {"ping=1,ping=4", {30, 4, 10, 5, 5, 10, 5, 3, 15}},
      {"curl=3600", {3600, 20, 10, 5, 5, 10, 5, 3, 15}},
      // Malformed pairs are ignored; the well-formed ones beside them still count.
      {"curl=0,ping=-1,request=3601,keepalive=2s,peeridle= 1,peerinterval=,peerprobes=1e1", kProduction},
      {"Curl=2,curl2,=2,curl==2,bogus=2,curl=99999999999", kProduction},
      {",,curl=2,,request=4,", {2, 20, 4, 5, 5, 10, 5, 3, 15}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(all(timingsFromText(c.text)), c.expected);
  }
  // Pairs apply over the values given, not over the production ones.
  Timings base;
  base.curlSeconds = 7;
  EXPECT_EQ(timingsFromText("ping=1", base).curlSeconds, 7);
}

}  // namespace
