#pragma once
// Numbers every change event, keeps the newest 1000 texts and wakes the event
// streams. Its two mutexes come last in the lock order (README, "Threads and
// locks"): each is taken alone or under stateMutex, never both at once, and
// nothing is taken while holding either.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
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

  std::mutex mutex;  // guards seq, log, logBytes and checkRound
  std::condition_variable cond;
  std::uint64_t seq = 0;
  std::deque<ChangeLogEntry> log;
  std::size_t logBytes = 0;  // the texts' sizes in log
  // How long waitForChanges waits for news; tests shorten it before sharing the hub.
  std::chrono::milliseconds waitLimit{20000};
  // What one wait hands over at most, in bytes of text (one event always,
  // whatever its size): a stream that fell behind while its browser reads
  // slowly catches up in steps of this size instead of copying, and then
  // building, all of the history at once for each slow stream.
  static constexpr std::size_t kBatchBytes = 1024 * 1024;
  // Raised by askStreamsToCheck; each waiter remembers the last it saw.
  std::uint64_t checkRound = 0;

  // Starts the waker thread. main calls it beside the saver and the
  // scheduler, before any change is published; tests that wait for a
  // publish from another thread call it on their hub. Without it, waiters
  // see news only at their time-out. Call once.
  void startWaker();

  // Appends one event text and wakes every waiter. Called under stateMutex;
  // takes the hub's mutex, then (after releasing it) wakeMutex.
  void publishChange(const std::string& text);
  // Waits (up to waitLimit) for events newer than `cursor`. True with news:
  // `texts` gets the newer texts still kept, oldest first, as many as fit in
  // kBatchBytes (at least one), `missed` tells whether the event right after
  // the cursor is gone, and `cursor` moves to the last event handed over.
  // False after the time-out, with nothing changed. With `checkSeen`, also
  // false as soon as askStreamsToCheck raised checkRound above *checkSeen
  // (which then takes the new round). Takes only the hub's mutex.
  bool waitForChanges(std::uint64_t& cursor, std::vector<std::string>& texts, bool& missed,
                      std::uint64_t* checkSeen = nullptr);
  // Wakes every waiting stream so that each looks at once whether its
  // browser is still connected: a window that was closed while its stream
  // waited gives its place back now instead of at its next write. Call with
  // no lock held; takes the hub's mutex, then wakeMutex.
  void askStreamsToCheck();
  // The number of the last published event. Takes the hub's mutex; called
  // alone or under stateMutex.
  std::uint64_t currentSeq();

  ChangeHub() = default;
  ~ChangeHub();  // stops the waker thread
  ChangeHub(const ChangeHub&) = delete;
  ChangeHub& operator=(const ChangeHub&) = delete;

 private:
  // Waking every open stream costs one wake-up per stream; a thread of the
  // hub's own does it, so that a write's answer never waits for that. The
  // waker's mutex guards wakePending and stopping, and is held only to hand
  // over: the waker releases it before it notifies the streams.
  void wakeLoop();
  void wakeAll();
  std::mutex wakeMutex;
  std::condition_variable wakeCond;
  bool wakePending = false;
  bool stopping = false;
  std::thread waker;
};

extern ChangeHub changeHub;
