#pragma once
// Small helpers the weather and linked-calendar refreshes share.
#include <cstdint>
#include <exception>
#include <string>

// The wall clock as whole milliseconds since 1970-01-01 UTC.
std::int64_t nowMilliseconds();

// The message a refresh stores and prints for `failure`. The refreshes raise
// plain std::runtime_error with a sentence written for the household; every
// other exception (the JSON library's, the standard library's, running out
// of memory) speaks of code, so `fallback` stands in for it.
std::string householdMessage(const std::exception& failure, const std::string& fallback);
