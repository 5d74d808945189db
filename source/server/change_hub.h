#pragma once
// Numbers every change event, keeps the newest 1000 texts and wakes the event
// streams. Its mutex is the innermost lock: take nothing while holding it.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

struct ChangeLogEntry {
  std::uint64_t seq;
  std::string text;
};

struct ChangeHub {
  static constexpr std::size_t kLogSize = 1000;
  // The history is also bounded in bytes: a thousand large items (linked
  // calendars, 2 MB browser writes) would otherwise pin gigabytes. Streams
  // behind a dropped entry get the full state, as for any stream too far behind.
  static constexpr std::size_t kLogBytes = 64u * 1024 * 1024;

  std::mutex mutex;
  std::condition_variable cond;
  std::uint64_t seq = 0;
  std::deque<ChangeLogEntry> log;
  std::size_t logBytes = 0;  // the texts' sizes in log
  // How long waitForChanges waits for news; tests shorten it.
  std::chrono::milliseconds waitLimit{20000};

  // Appends one event text and wakes every waiter. Called under stateMutex.
  void publishChange(const std::string& text);
  // Waits (up to waitLimit) for events newer than `cursor`. True with news:
  // `texts` gets every newer text still kept, oldest first, `missed` tells
  // whether the event right after the cursor is gone, `cursor` moves to seq.
  // False after the time-out, with nothing changed. Takes only the hub's mutex.
  bool waitForChanges(std::uint64_t& cursor, std::vector<std::string>& texts, bool& missed);
  // The number of the last published event.
  std::uint64_t currentSeq();
};

extern ChangeHub changeHub;
