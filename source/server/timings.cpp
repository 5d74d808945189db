#include "server/timings.h"

#include <string>

Timings timings;

namespace {

// The whole of `text` as a number from 1 to 3600; 0 when it is anything else.
int secondsValue(const std::string& text) {
  if (text.empty() || text.size() > 4) return 0;
  int value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return 0;
    value = value * 10 + (c - '0');
  }
  return value <= 3600 ? value : 0;
}

}  // namespace

Timings timingsFromText(const char* text, Timings base) {
  if (text == nullptr) return base;
  struct Timer {
    const char* name;
    int* value;
  } const timers[] = {
      {"curl", &base.curlSeconds},
      {"ping", &base.pingSeconds},
      {"request", &base.requestSeconds},
      {"keepalive", &base.keepAliveSeconds},
      {"read", &base.readSeconds},
      {"peeridle", &base.deadPeer.idleSeconds},
      {"peerinterval", &base.deadPeer.intervalSeconds},
      {"peerprobes", &base.deadPeer.probes},
      {"peerunacked", &base.deadPeer.unacknowledgedSeconds},
  };
  const std::string all = text;
  std::size_t start = 0;
  while (start <= all.size()) {
    std::size_t end = all.find(',', start);
    if (end == std::string::npos) end = all.size();
    const std::string pair = all.substr(start, end - start);
    const std::size_t equals = pair.find('=');
    const int value = equals == std::string::npos ? 0 : secondsValue(pair.substr(equals + 1));
    for (const Timer& timer : timers) {
      if (value > 0 && pair.substr(0, equals) == timer.name) *timer.value = value;
    }
    start = end + 1;
  }
  return base;
}
