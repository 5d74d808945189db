#include "refresh/scheduler.h"

#include <exception>
#include <mutex>
#include <string>

#include "refresh/feeds.h"
#include "refresh/refresh_requests.h"
#include "refresh/weather.h"
#include "server/console.h"

namespace {

// schedulerTurn without its guard: a failure that leaves a run leaves this too.
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

}  // namespace

void schedulerTurn(SchedulerClock::time_point& deadline, SchedulerClock::duration period,
                   const SchedulerRuns& runs) {
  // The refreshes record their own failures; this is one they could not, and
  // the scheduler thread must go on with its schedule regardless.
  std::string message;
  try {
    schedulerPass(deadline, period, runs);
    return;
  } catch (const std::exception& failure) {
    message = failure.what();
  } catch (...) {
    message = "unknown failure";
  }
  try {
    printLine(consoleSafe("Refresh problem: " + message));
  } catch (...) {
  }
}

void refreshLoop() {
  const SchedulerRuns runs{refreshWeather, refreshFeeds};
  SchedulerClock::time_point deadline = SchedulerClock::now();
  for (;;) schedulerTurn(deadline, kRefreshPeriod, runs);
}
