#include "refresh/refresh_requests.h"

#include <utility>

#include "refresh/feeds.h"
#include "refresh/weather.h"

std::mutex refreshMutex;
std::condition_variable refreshCond;
bool weatherFresh = false;
bool feedsFresh = false;
std::mutex refreshWorkMutex;

static void markDue(bool& fresh) {
  {
    std::lock_guard<std::mutex> lock(refreshMutex);
    fresh = false;
  }
  refreshCond.notify_one();
}

void requestWeatherRefresh() { markDue(weatherFresh); }
void requestFeedsRefresh() { markDue(feedsFresh); }

SharedRefreshRuns::SharedRefreshRuns(int maxWaiting, std::function<void()> run)
    : maxWaiting_(maxWaiting), run_(std::move(run)) {}

int SharedRefreshRuns::waiting() {
  std::lock_guard<std::mutex> lock(mutex_);
  return waiting_;
}

bool SharedRefreshRuns::awaitRunStartedAfterNow() {
  std::unique_lock<std::mutex> lock(mutex_);
  if (waiting_ >= maxWaiting_) return false;
  ++waiting_;
  // Leaves the count however this call ends; mutex_ is held again by then.
  struct Leave {
    int& count;
    ~Leave() { --count; }
  } leave{waiting_};
  // Runs are numbered as they start, under refreshWorkMutex, so they end in
  // the order of their numbers, and the first run to start from now on gets
  // this one.
  const std::uint64_t wanted = started_ + 1;
  while (ended_ < wanted) {
    if (claimed_) {
      // Another waiting request starts the next run, and that run starts
      // after this request arrived: share it.
      runEnded_.wait(lock);
      continue;
    }
    claimed_ = true;
    lock.unlock();
    std::exception_ptr failure;
    {
      // Never taken while mutex_ is held: refreshWorkMutex comes first.
      try {
        refreshWorkMutex.lock();
      } catch (...) {
        lock.lock();
        claimed_ = false;  // for another request to try
        runEnded_.notify_all();
        throw;
      }
      std::lock_guard<std::mutex> work(refreshWorkMutex, std::adopt_lock);
      lock.lock();
      const std::uint64_t number = ++started_;
      // Requests that arrive from now on want the run after this one; the
      // first of them claims it and waits above for refreshWorkMutex.
      claimed_ = false;
      lock.unlock();
      try {
        run_();
      } catch (...) {
        failure = std::current_exception();
      }
      // Recorded before refreshWorkMutex is released, so that no later run
      // can end first.
      lock.lock();
      ended_ = number;
      lastFailure_ = failure;
    }
    runEnded_.notify_all();
    if (failure) std::rethrow_exception(failure);
    return true;
  }
  // The latest run that ended started after this request arrived. When it
  // let an exception out, every request that waited for it fails with it too:
  // none of them may be told that the refresh was done.
  if (lastFailure_) std::rethrow_exception(lastFailure_);
  return true;
}

bool awaitRequestedRefresh() {
  static SharedRefreshRuns runs(kMaxRefreshWaiters, [] {
    refreshWeather();
    refreshFeeds();
  });
  return runs.awaitRunStartedAfterNow();
}
