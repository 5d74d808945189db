#pragma once
// Small helpers the weather and linked-calendar refreshes share.
#include <cstdint>

// The wall clock as whole milliseconds since 1970-01-01 UTC.
std::int64_t nowMilliseconds();
