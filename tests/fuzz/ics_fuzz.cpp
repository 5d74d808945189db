// libFuzzer target over the whole calendar reader, with a fixed "now" and a
// zone with daylight saving so the local-time paths are exercised.
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <new>
#include <stdexcept>
#include <string>

#include "calendar/ics_reader.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  setenv("TZ", "Europe/Berlin", 1);
  tzset();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  try {
    nlohmann::json rows = parseIcsOccurrencesAt(text, 1796814000);  // 2026-12-09 12:00 in Berlin
    if (!rows.is_array() || rows.size() > 2000) std::abort();
    (void)rows.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  } catch (const std::out_of_range&) {
    // A BYDAY ordinal beyond 32 bits fails the whole text by design.
  } catch (const std::bad_alloc&) {
  }
  return 0;
}
