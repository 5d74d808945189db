#include "refresh/refresh_util.h"

#include <chrono>
#include <stdexcept>
#include <typeinfo>

std::int64_t nowMilliseconds() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::string householdMessage(const std::exception& failure, const std::string& fallback) {
  // Exactly std::runtime_error: its subclasses (filesystem, regex and system
  // errors) carry the library's wording.
  if (typeid(failure) == typeid(std::runtime_error)) return failure.what();
  return fallback;
}
