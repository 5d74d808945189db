#pragma once
// Large item bodies shared by the end-to-end tests and bench/: the shapes
// that once made the server slow or left it holding much memory.
#include <string>

namespace testsupport {

// An object of `count` empty objects under short distinct keys; 188,172 of
// them come close to the 2,000,000-byte item limit.
inline std::string manyEmptyObjects(int count) {
  const char digits[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
  std::string body = "{";
  for (int i = 0; i < count; ++i) {
    if (i) body += ",";
    body += "\"";
    for (int n = i;; n /= 62) {
      body += digits[n % 62];
      if (n < 62) break;
    }
    body += "\":{}";
  }
  return body + "}";
}

// About 1.9 MB of ordinary members: 200 groups of 100 small objects, so that
// it is parsed and copied as many small values rather than one long text.
inline std::string groupedItem() {
  std::string body = "{";
  for (int g = 0; g < 200; ++g) {
    body += (g ? ",\"group" : "\"group") + std::to_string(g) + "\":{";
    for (int i = 0; i < 100; ++i) {
      body += (i ? ",\"line" : "\"line") + std::to_string(i) + "\":{\"text\":\"" +
              std::string(68, static_cast<char>('a' + i % 26)) + "\",\"n\":" + std::to_string(i) + "}";
    }
    body += "}";
  }
  return body + "}";
}

}  // namespace testsupport
