#include "text/text_util.h"

#include <algorithm>

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
