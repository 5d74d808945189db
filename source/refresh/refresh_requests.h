#pragma once
// How the server asks for the two internet refreshes and keeps runs apart.
// Lock order: refreshWorkMutex, then stateMutex, then the change hub's mutex.
// refreshMutex is never held together with another lock.
#include <condition_variable>
#include <mutex>

extern std::mutex refreshMutex;             // guards the two flags
extern std::condition_variable refreshCond;  // the scheduler waits on it
extern bool weatherFresh;                    // false: a weather refresh is due
extern bool feedsFresh;                      // false: a linked-calendar refresh is due
extern std::mutex refreshWorkMutex;          // held around every refresh run

// Mark a refresh due and wake the scheduler. Take refreshMutex themselves and
// notify after releasing it; call with no lock held.
void requestWeatherRefresh();
void requestFeedsRefresh();
