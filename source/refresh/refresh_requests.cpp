#include "refresh/refresh_requests.h"

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
