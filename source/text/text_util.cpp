#include "text/text_util.h"

#include <algorithm>
#include <fstream>
#include <sstream>
#include <system_error>

std::string trimBlanks(std::string text) {
  std::size_t first = 0;
  while (first < text.size() && isBlank(text[first])) ++first;
  if (first == text.size()) return std::string();
  std::size_t last = text.size() - 1;
  while (isBlank(text[last])) --last;
  return text.substr(first, last - first + 1);
}

std::string toLowerAscii(std::string text) {
  for (char& c : text) {
    if (isAsciiUpper(c)) c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

std::string toUpperAscii(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

bool startsWith(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && text.compare(0, prefix.size(), prefix) == 0;
}

std::int64_t readLeadingInteger(std::string_view text, std::int64_t limit) {
  std::size_t i = 0;
  while (i < text.size() && isAsciiSpace(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  std::int64_t value = 0;
  for (; i < text.size() && isAsciiDigit(text[i]); ++i) {
    // Saturate, and keep reading: the digits after still belong to it.
    value = std::min<std::int64_t>(value * 10 + (text[i] - '0'), limit);
  }
  return negative ? -value : value;
}

bool readWholeFile(const std::filesystem::path& path, std::string& out) {
  // A folder opens as a stream on some systems and then reads as nothing;
  // it must not pass for an empty file.
  std::error_code ec;
  if (std::filesystem::is_directory(path, ec)) return false;
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad()) return false;
  out = text.str();
  return true;
}
