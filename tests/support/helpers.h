#pragma once
// Small helpers every kind of test uses: environment variables set for one
// test, the message of what a call throws, bounded waits and counting a text.
#include <time.h>

#include <chrono>
#include <cstdlib>
#include <exception>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace testsupport {

// Sets and removes environment variables, putting them back on destruction.
class ScopedEnv {
 public:
  ScopedEnv() = default;
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;
  ~ScopedEnv() {
    for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
      if (it->second) {
        setenv(it->first.c_str(), it->second->c_str(), 1);
      } else {
        unsetenv(it->first.c_str());
      }
    }
  }
  void set(const std::string& name, const std::string& value) {
    save(name);
    setenv(name.c_str(), value.c_str(), 1);
  }
  void unset(const std::string& name) {
    save(name);
    unsetenv(name.c_str());
  }

 private:
  void save(const std::string& name) {
    const char* old = std::getenv(name.c_str());
    saved_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
  }
  std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

// The message of what `f` throws, so a test can expect a library's wording exactly.
template <typename F>
std::string messageOf(F f) {
  try {
    f();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "no failure";
}

// Polls `condition` until it holds or `timeout` passes: after 1 ms at first,
// then less often, every 10 ms at the most, so that a short wait ends soon
// after its condition holds and a long one costs little.
template <typename F>
bool waitUntil(F condition, std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  long pauseMs = 1;
  for (;;) {
    if (condition()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    struct timespec ts {0, pauseMs * 1000 * 1000};
    nanosleep(&ts, nullptr);
    pauseMs = pauseMs < 5 ? pauseMs * 2 : 10;
  }
}

// How many times `needle` (not empty) stands in `text`, not overlapping.
inline int countOf(const std::string& text, const std::string& needle) {
  int n = 0;
  for (auto at = text.find(needle); at != std::string::npos; at = text.find(needle, at + needle.size())) ++n;
  return n;
}

}  // namespace testsupport
