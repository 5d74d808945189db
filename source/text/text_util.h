#pragma once
// Plain text helpers the server, the calendar reader and the refreshes
// share: ASCII only, no locale, no allocation beyond the result; and the
// one way a file is read whole.
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

// The one definition of a blank: space, tab, carriage return, line feed.
inline bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
// White space as the C library's atoi skips it: space and '\t' to '\r'.
inline bool isAsciiSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
inline bool isAsciiDigit(char c) { return c >= '0' && c <= '9'; }
inline bool isAsciiUpper(char c) { return c >= 'A' && c <= 'Z'; }

// `text` without leading and trailing blanks.
std::string trimBlanks(std::string text);

// ASCII letters to the other case; every other byte unchanged.
std::string toLowerAscii(std::string text);
std::string toUpperAscii(std::string text);

bool startsWith(std::string_view text, std::string_view prefix);

// atoi's reading of the start of `text`: leading white space, an optional
// sign, digits; 0 without digits. The magnitude stops growing at `limit`
// (0 to 10^17), so absurd numbers cannot overflow.
std::int64_t readLeadingInteger(std::string_view text, std::int64_t limit);

// The file's bytes exactly as stored, into `out`. False, with `out`
// untouched, when the file cannot be read whole: missing, unreadable, a
// folder, or a read that fails part-way.
bool readWholeFile(const std::filesystem::path& path, std::string& out);
