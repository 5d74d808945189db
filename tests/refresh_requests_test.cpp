// Refresh requests from browsers sharing runs: which run answers a request,
// how many runs waiting requests cause, the bound on waiters, and failures.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <future>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "refresh/refresh_requests.h"
#include "support/server_process.h"

using namespace std::chrono_literals;
using testsupport::waitUntil;

namespace {

// Counts runs; run number n may end only once allow(n) was called, and the
// runs named in failAt throw.
class GatedRuns {
 public:
  explicit GatedRuns(int maxWaiting, std::vector<int> failAt = {})
      : failAt_(std::move(failAt)), shared(maxWaiting, [this] { run(); }) {}

  void allow(int n) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      allowed_ = n;
    }
    cond_.notify_all();
  }
  int started() {
    std::lock_guard<std::mutex> lock(mutex_);
    return started_;
  }
  int finished() {
    std::lock_guard<std::mutex> lock(mutex_);
    return finished_;
  }
  // A request on a thread of its own; its result is the call's.
  std::future<bool> request() {
    return std::async(std::launch::async, [this] { return shared.awaitRunStartedAfterNow(); });
  }

 private:
  void run() {
    std::unique_lock<std::mutex> lock(mutex_);
    const int n = ++started_;
    cond_.wait_for(lock, 20s, [&] { return allowed_ >= n; });
    ++finished_;
    for (int f : failAt_)
      if (f == n) throw std::runtime_error("run " + std::to_string(n) + " failed");
  }

  std::vector<int> failAt_;
  std::mutex mutex_;
  std::condition_variable cond_;
  int allowed_ = 0;
  int started_ = 0;
  int finished_ = 0;

 public:
  SharedRefreshRuns shared;
};

bool ready(std::future<bool>& f) { return f.wait_for(0s) == std::future_status::ready; }

TEST(SharedRefreshRuns, ARequestArrivingMidRunWaitsForTheNextRun) {
  GatedRuns runs(2);
  auto first = runs.request();
  ASSERT_TRUE(waitUntil([&] { return runs.started() == 1; }, 5s));
  auto second = runs.request();  // the first run is already in progress
  ASSERT_TRUE(waitUntil([&] { return runs.shared.waiting() == 2; }, 5s));
  runs.allow(1);
  EXPECT_TRUE(first.get());
  // The second request is not answered by the run that began before it.
  ASSERT_TRUE(waitUntil([&] { return runs.started() == 2; }, 5s));
  std::this_thread::sleep_for(100ms);
  EXPECT_FALSE(ready(second));
  runs.allow(2);
  EXPECT_TRUE(second.get());
  EXPECT_EQ(runs.finished(), 2);
  EXPECT_EQ(runs.shared.waiting(), 0);
}

TEST(SharedRefreshRuns, RequestsWaitingForThePendingRunShareOneRun) {
  GatedRuns runs(8);
  runs.allow(100);
  std::vector<std::future<bool>> requests;
  {
    // Another run (the scheduler's) holds the work lock: all of them arrive
    // before the next run can start.
    std::lock_guard<std::mutex> work(refreshWorkMutex);
    for (int i = 0; i < 8; ++i) requests.push_back(runs.request());
    ASSERT_TRUE(waitUntil([&] { return runs.shared.waiting() == 8; }, 5s));
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(runs.started(), 0);
  }
  for (auto& r : requests) EXPECT_TRUE(r.get());
  EXPECT_EQ(runs.finished(), 1);
  // Once it has ended, the next request has a run of its own.
  EXPECT_TRUE(runs.request().get());
  EXPECT_EQ(runs.finished(), 2);
}

TEST(SharedRefreshRuns, RequestsBeyondTheBoundAreRefusedAtOnce) {
  GatedRuns runs(2);
  auto running = runs.request();
  ASSERT_TRUE(waitUntil([&] { return runs.started() == 1; }, 5s));
  auto next = runs.request();
  ASSERT_TRUE(waitUntil([&] { return runs.shared.waiting() == 2; }, 5s));
  for (int i = 0; i < 5; ++i) EXPECT_FALSE(runs.shared.awaitRunStartedAfterNow());
  runs.allow(2);
  EXPECT_TRUE(running.get());
  EXPECT_TRUE(next.get());
  EXPECT_EQ(runs.finished(), 2);  // the refused requests caused no run
  // With the waiters answered, requests are taken again.
  runs.allow(3);
  EXPECT_TRUE(runs.request().get());
  EXPECT_EQ(runs.finished(), 3);
}

TEST(SharedRefreshRuns, AFailedRunFailsEveryRequestThatWaitedForItAndFreesTheWorkLock) {
  GatedRuns runs(4, {1});
  std::vector<std::future<bool>> requests;
  {
    std::lock_guard<std::mutex> work(refreshWorkMutex);
    for (int i = 0; i < 3; ++i) requests.push_back(runs.request());
    ASSERT_TRUE(waitUntil([&] { return runs.shared.waiting() == 3; }, 5s));
  }
  runs.allow(100);
  for (auto& r : requests) {
    try {
      r.get();
      ADD_FAILURE() << "a request of the failed run was answered as done";
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), "run 1 failed");
    }
  }
  EXPECT_EQ(runs.finished(), 1);
  {
    std::unique_lock<std::mutex> work(refreshWorkMutex, std::try_to_lock);
    EXPECT_TRUE(work.owns_lock());
  }
  EXPECT_EQ(runs.shared.waiting(), 0);
  EXPECT_TRUE(runs.request().get());
  EXPECT_EQ(runs.finished(), 2);
}

}  // namespace
