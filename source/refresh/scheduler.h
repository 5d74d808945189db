#pragma once
// The refresh scheduler: both refreshes at start, every kRefreshPeriod, and
// when the item write route marks one due (refresh_requests.h).
#include <chrono>
#include <functional>

using SchedulerClock = std::chrono::steady_clock;

constexpr std::chrono::seconds kRefreshPeriod{900};

struct SchedulerRuns {
  std::function<void()> weather;
  std::function<void()> feeds;
};

// The scheduler thread's body: both refreshes at start, every kRefreshPeriod
// and when a refresh is requested. Never returns. Started by main.
void refreshLoop();

// One turn of the scheduler: waits on refreshCond until a refresh is due or
// `deadline` passes; when it has passed, marks both due and moves it to now +
// `period` (all under refreshMutex, alone); then, refreshMutex released, runs
// what is due under refreshWorkMutex. A failure that leaves a run is printed
// as "Refresh problem: " and its message, with refreshWorkMutex released, so
// the schedule goes on. refreshLoop() repeats this with the real refreshes
// and kRefreshPeriod for ever.
void schedulerTurn(SchedulerClock::time_point& deadline, SchedulerClock::duration period,
                   const SchedulerRuns& runs);
