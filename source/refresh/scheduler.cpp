#include "refresh/scheduler.h"

#include <exception>
#include <mutex>
#include <string>

#include "refresh/refresh.h"
#include "refresh/refresh_requests.h"
#include "server/console.h"

void schedulerPass(SchedulerClock::time_point& deadline, SchedulerClock::duration period,
                   const SchedulerRuns& runs) {
  bool weatherDue = false;
  bool feedsDue = false;
  {
    std::unique_lock<std::mutex> lock(refreshMutex);
    while (weatherFresh && feedsFresh) {
      if (refreshCond.wait_until(lock, deadline) == std::cv_status::timeout) break;
    }
    if (SchedulerClock::now() >= deadline) {
      weatherFresh = false;
      feedsFresh = false;
      // Renewed before the runs, so the period counts from start to start.
      deadline = SchedulerClock::now() + period;
    }
    weatherDue = !weatherFresh;
    feedsDue = !feedsFresh;
    weatherFresh = true;
    feedsFresh = true;
  }
  // refreshMutex is released first: it is never held with another lock.
  std::lock_guard<std::mutex> work(refreshWorkMutex);
  if (weatherDue) runs.weather();
  if (feedsDue) runs.feeds();
}

void runScheduler(SchedulerClock::duration period, const SchedulerRuns& runs) {
  SchedulerClock::time_point deadline = SchedulerClock::now();
  for (;;) {
    try {
      schedulerPass(deadline, period, runs);
    } catch (const std::exception& failure) {
      // The refreshes record their own failures; this is one they could not,
      // and the schedule must go on regardless.
      try {
        printLine(std::string("Refresh problem: ") + failure.what());
      } catch (...) {
      }
    } catch (...) {
      try {
        printLine("Refresh problem: unknown failure");
      } catch (...) {
      }
    }
  }
}

void refreshLoop() { runScheduler(kRefreshPeriod, SchedulerRuns{refreshWeather, refreshFeeds}); }
