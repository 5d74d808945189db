#pragma once
// How the server asks for the two internet refreshes and keeps runs apart.
// Lock order (README, "Threads and locks"): refreshWorkMutex, then stateMutex,
// then the change hub's mutex or its wakeMutex.
// refreshMutex is never held together with another lock. A SharedRefreshRuns'
// own mutex comes after refreshWorkMutex: it is taken alone or under
// refreshWorkMutex (to number and record a run), and no lock is taken while
// it is held.
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>

extern std::mutex refreshMutex;             // guards the two flags
extern std::condition_variable refreshCond;  // the scheduler waits on it
extern bool weatherFresh;                    // false: a weather refresh is due
extern bool feedsFresh;                      // false: a linked-calendar refresh is due
extern std::mutex refreshWorkMutex;          // held around every refresh run; guards geocodeCache and curl's use

// Mark a refresh due and wake the scheduler. Take refreshMutex themselves and
// notify after releasing it; call with no lock held.
void requestWeatherRefresh();
void requestFeedsRefresh();

// Runs asked for by browsers, shared between the requests that wait for them.
// A request is answered once a run that started after it arrived has ended,
// so any number of requests arriving while a run is pending cost one run. One
// of the waiting requests runs it, on its own thread, under refreshWorkMutex.
// Runs of the scheduler do not count: they may do only one of the refreshes.
class SharedRefreshRuns {
 public:
  SharedRefreshRuns(int maxWaiting, std::function<void()> run);

  // Waits until a run that started after this call has ended. Returns false
  // at once, without waiting, when maxWaiting requests are already waiting.
  // When that run let an exception out, rethrows it: in the request that ran
  // it and in each request that shared it. Call with no lock held; the
  // request that runs it takes refreshWorkMutex for the run.
  bool awaitRunStartedAfterNow();

  // For tests: how many requests are waiting or running now.
  int waiting();

 private:
  const int maxWaiting_;
  const std::function<void()> run_;
  std::mutex mutex_;                  // guards everything below
  std::condition_variable runEnded_;  // notified when a run ends or a claim is given up
  int waiting_ = 0;                   // requests inside awaitRunStartedAfterNow
  bool claimed_ = false;              // a waiting request will start the next run
  std::uint64_t started_ = 0;         // runs started so far, the last one's number
  std::uint64_t ended_ = 0;           // number of the last run that ended
  std::exception_ptr lastFailure_;    // what run `ended_` let out, if anything
};

// How many browser refresh requests may hold a worker at once. Two cover what
// sharing needs: a request whose run is in progress and one whose run is
// pending, which every later press shares. Each further waiter would only take
// a worker from page loads and writes (with every event stream open, 8 of the
// 64 are left; this keeps 6 of them free). A press turned away loses nothing:
// what the runs store reaches every open window as change events.
constexpr int kMaxRefreshWaiters = 2;

// POST /api/refresh: refreshWeather then refreshFeeds, shared as above, with
// at most kMaxRefreshWaiters requests waiting. False: refused, too many wait.
bool awaitRequestedRefresh();
