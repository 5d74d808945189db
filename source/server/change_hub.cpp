#include "server/change_hub.h"

ChangeHub changeHub;

void ChangeHub::publishChange(const std::string& text) {
  {
    std::lock_guard<std::mutex> lock(mutex);
    ++seq;
    log.push_back(ChangeLogEntry{seq, text});
    logBytes += text.size();
    // The newest entry always stays, whatever its size.
    while (log.size() > kLogSize || (logBytes > kLogBytes && log.size() > 1)) {
      logBytes -= log.front().text.size();
      log.pop_front();
    }
  }
  cond.notify_all();
}

bool ChangeHub::waitForChanges(std::uint64_t& cursor, std::vector<std::string>& texts, bool& missed) {
  std::unique_lock<std::mutex> lock(mutex);
  const auto deadline = std::chrono::steady_clock::now() + waitLimit;
  while (seq <= cursor) {
    if (cond.wait_until(lock, deadline) == std::cv_status::timeout) break;
  }
  if (seq <= cursor) return false;
  missed = !log.empty() && log.front().seq > cursor + 1;
  for (const auto& entry : log) {
    if (entry.seq > cursor) texts.push_back(entry.text);
  }
  cursor = seq;
  return true;
}

std::uint64_t ChangeHub::currentSeq() {
  std::lock_guard<std::mutex> lock(mutex);
  return seq;
}
