// The share of connections one peer address may hold once the server is crowded.
#include "server/peer_limits.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

// Admits `n` connections from `peer` into `held`; how many got in.
int admitMany(PeerLimits& limits, const std::string& peer, int n, std::vector<PeerLimits::Admission>& held) {
  int in = 0;
  for (int i = 0; i < n; ++i) {
    auto admission = limits.admit(peer);
    if (admission) {
      ++in;
      held.push_back(std::move(admission));
    }
  }
  return in;
}

TEST(PeerLimits, APeerPastItsShareIsRefusedOnlyOnceTheServerIsCrowded) {
  PeerLimits limits(10, 3);
  std::vector<PeerLimits::Admission> held;
  // Not crowded: one address (a computer with many windows, or every test
  // on 127.0.0.1) takes as many as it likes.
  EXPECT_EQ(admitMany(limits, "10.0.0.9", 9, held), 9);
  EXPECT_EQ(admitMany(limits, "10.0.0.9", 5, held), 1);  // the tenth makes it crowded
  EXPECT_EQ(limits.held(), 10u);
  // Crowded: the others still get in, past their share too, as long as
  // another holds more (a busy computer beside a flood)...
  EXPECT_EQ(admitMany(limits, "10.0.0.2", 5, held), 5);
  EXPECT_EQ(admitMany(limits, "10.0.0.3", 1, held), 1);
  // ...but never past the largest: holding as many as any other, it is refused.
  EXPECT_EQ(admitMany(limits, "10.0.0.2", 9, held), 5);
  EXPECT_EQ(limits.heldBy("10.0.0.9"), 10u);
  EXPECT_EQ(limits.heldBy("10.0.0.2"), 10u);
  EXPECT_EQ(admitMany(limits, "10.0.0.9", 1, held), 0);
  // Places given back below the crowded mark open the door to everyone again.
  held.clear();
  EXPECT_EQ(limits.held(), 0u);
  EXPECT_EQ(admitMany(limits, "10.0.0.9", 9, held), 9);
}

TEST(PeerLimits, EveryWayAnAdmissionEndsGivesItsPlaceBack) {
  PeerLimits limits(1, 1);
  {
    auto a = limits.admit("a");
    ASSERT_TRUE(a);
    EXPECT_FALSE(limits.admit("a"));  // refused: nothing counted for it
    EXPECT_EQ(limits.heldBy("a"), 1u);
    PeerLimits::Admission moved(std::move(a));
    EXPECT_FALSE(a);
    PeerLimits::Admission assigned;
    assigned = std::move(moved);
    EXPECT_EQ(limits.held(), 1u);
    auto b = limits.admit("b");
    ASSERT_TRUE(b);
    assigned = std::move(b);  // gives a's place back, keeps b's
    EXPECT_EQ(limits.heldBy("a"), 0u);
    EXPECT_EQ(limits.heldBy("b"), 1u);
  }
  EXPECT_EQ(limits.held(), 0u);
  EXPECT_EQ(limits.heldBy("b"), 0u);
}

TEST(PeerLimits, ConnectionsComingAndGoingOnManyThreadsLeaveNothingCounted) {
  PeerLimits limits(50, 5);
  std::atomic<int> refused{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 2000; ++i) {
        std::vector<PeerLimits::Admission> held;
        if (admitMany(limits, "peer" + std::to_string((t + i) % 3), 12, held) < 12) ++refused;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(limits.held(), 0u);
  EXPECT_GT(refused.load(), 0);
}

}  // namespace
