#pragma once
// Shortened timers for tests: the program's variable that shortens them, and
// a guard that shortens them in this process for one test.
#include "server/timings.h"

namespace testsupport {

// Read by the program at start (see server/timings.h for its format).
inline constexpr char kTestTimingsVariable[] = "BRIMLOFT_TEST_TIMINGS";

// Sets `timings` from `text` (over the production values) and puts the
// earlier values back when it goes. Create it before starting anything that
// reads the timers.
class ScopedTimings {
 public:
  explicit ScopedTimings(const char* text) : saved_(timings) { timings = timingsFromText(text); }
  ~ScopedTimings() { timings = saved_; }
  ScopedTimings(const ScopedTimings&) = delete;
  ScopedTimings& operator=(const ScopedTimings&) = delete;

 private:
  Timings saved_;
};

}  // namespace testsupport
