#include "server/console.h"

#include <iostream>

void printLine(const std::string& text) {
  // Raw bytes, no character-set conversion: UTF-8 names reach the console as is.
  std::cout.write(text.data(), static_cast<std::streamsize>(text.size()));
  std::cout.put('\n');
  std::cout.flush();
  std::cout.clear();  // a closed console must not stop the program
}

namespace {

// The length of the valid UTF-8 character of two or more bytes that starts at
// `at`, or 0. Overlong forms are refused: they could spell a control
// character that a lenient terminal would still act on.
std::size_t multiByteLength(const std::string& text, std::size_t at) {
  auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  unsigned char lead = byte(at);
  std::size_t length = 0;
  unsigned char low = 0x80, high = 0xBF;  // allowed range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;  // no UTF-16 surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (at + length > text.size()) return 0;
  if (byte(at + 1) < low || byte(at + 1) > high) return 0;
  for (std::size_t i = 2; i < length; ++i) {
    if (byte(at + i) < 0x80 || byte(at + i) > 0xBF) return 0;
  }
  return length;
}

}  // namespace

std::string consoleSafe(const std::string& text) {
  // A space rather than U+FFFD: it keeps the line readable (a label split over
  // two lines reads as two words) and shows the same on every console, also on
  // one that does not take UTF-8.
  std::string out;
  out.reserve(text.size());
  std::size_t at = 0;
  while (at < text.size()) {
    unsigned char lead = static_cast<unsigned char>(text[at]);
    if (lead < 0x80) {
      out.push_back(lead < 0x20 || lead == 0x7F ? ' ' : text[at]);
      ++at;
      continue;
    }
    std::size_t length = multiByteLength(text, at);
    // U+0080 to U+009F are C2 80 to C2 9F; terminals take U+009B as an escape.
    bool c1 = length == 2 && lead == 0xC2 && static_cast<unsigned char>(text[at + 1]) <= 0x9F;
    if (length == 0 || c1) {
      out.push_back(' ');
      at += length == 0 ? 1 : length;
      continue;
    }
    out.append(text, at, length);
    at += length;
  }
  return out;
}
