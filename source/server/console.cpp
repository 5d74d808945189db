#include "server/console.h"

#include <iostream>

void printLine(const std::string& text) {
  // Raw bytes, no character-set conversion: UTF-8 names reach the console as is.
  std::cout.write(text.data(), static_cast<std::streamsize>(text.size()));
  std::cout.put('\n');
  std::cout.flush();
  std::cout.clear();  // a closed console must not stop the program
}

static bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string trimBlanks(std::string text) {
  std::size_t first = 0;
  while (first < text.size() && isBlank(text[first])) ++first;
  if (first == text.size()) return std::string();
  std::size_t last = text.size() - 1;
  while (isBlank(text[last])) --last;
  return text.substr(first, last - first + 1);
}
