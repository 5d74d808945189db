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
  wakeAll();
}

void ChangeHub::askStreamsToCheck() {
  {
    std::lock_guard<std::mutex> lock(mutex);
    ++checkRound;
  }
  wakeAll();
}

void ChangeHub::startWaker() { waker = std::thread(&ChangeHub::wakeLoop, this); }

void ChangeHub::wakeAll() {
  {
    std::lock_guard<std::mutex> lock(wakeMutex);
    wakePending = true;
  }
  wakeCond.notify_one();
}

void ChangeHub::wakeLoop() {
  std::unique_lock<std::mutex> lock(wakeMutex);
  for (;;) {
    wakeCond.wait(lock, [this] { return wakePending || stopping; });
    if (stopping) return;
    // Publishes that come in meanwhile share this wake-up: a woken stream
    // takes every event newer than its cursor.
    wakePending = false;
    lock.unlock();
    cond.notify_all();
    lock.lock();
  }
}

ChangeHub::~ChangeHub() {
  {
    std::lock_guard<std::mutex> lock(wakeMutex);
    stopping = true;
  }
  wakeCond.notify_one();
  if (waker.joinable()) waker.join();
}

bool ChangeHub::waitForChanges(std::uint64_t& cursor, std::vector<std::string>& texts, bool& missed,
                               std::uint64_t* checkSeen) {
  std::unique_lock<std::mutex> lock(mutex);
  const auto deadline = std::chrono::steady_clock::now() + waitLimit;
  auto checkAsked = [&] { return checkSeen != nullptr && checkRound != *checkSeen; };
  while (seq <= cursor && !checkAsked()) {
    if (cond.wait_until(lock, deadline) == std::cv_status::timeout) break;
  }
  if (seq <= cursor) {
    if (checkAsked()) *checkSeen = checkRound;
    return false;
  }
  missed = !log.empty() && log.front().seq > cursor + 1;
  // The log's numbers rise by one, so the first newer entry sits at a known place.
  std::size_t at = missed || log.empty() ? 0 : static_cast<std::size_t>(cursor + 1 - log.front().seq);
  std::size_t bytes = 0;
  for (; at < log.size(); ++at) {
    const ChangeLogEntry& entry = log[at];
    if (!texts.empty() && bytes + entry.text.size() > kBatchBytes) break;
    texts.push_back(entry.text);
    bytes += entry.text.size();
    cursor = entry.seq;
  }
  return true;
}

std::uint64_t ChangeHub::currentSeq() {
  std::lock_guard<std::mutex> lock(mutex);
  return seq;
}
