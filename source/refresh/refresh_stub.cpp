// Placeholder until the refresh subsystem lands.
#include <chrono>
#include <thread>

#include "refresh/refresh.h"

void refreshWeather() {}
void refreshFeeds() {}
void refreshLoop() {
  for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
}
