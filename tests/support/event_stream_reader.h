#pragma once
// Holds GET /api/stream open on its own thread and collects what arrives.
#include <httplib.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>

namespace testsupport {

class EventStreamReader {
 public:
  explicit EventStreamReader(int port);
  ~EventStreamReader();  // closes the stream
  // Everything received so far, chunks joined.
  std::string text() const;
  // Waits until the text holds `needle` `times` times; false on time-out.
  bool waitFor(const std::string& needle, std::chrono::milliseconds timeout, int times = 1) const;
  int status() const { return status_; }
  httplib::Headers headers() const;
  void close();

 private:
  httplib::Client client_;
  mutable std::mutex mutex_;
  std::string text_;
  httplib::Headers headers_;
  std::atomic<int> status_{0};
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// Plays a browser's event source: when the stream ends after a 200 answer of
// type text/event-stream it connects again after the last retry time it was
// given (3000 ms before any), and it gives up for good after any other answer.
class BrowserEventSource {
 public:
  explicit BrowserEventSource(int port);
  ~BrowserEventSource();  // closes the stream
  // Everything received over all connections, joined.
  std::string text() const;
  bool waitFor(const std::string& needle, std::chrono::milliseconds timeout, int times = 1) const;
  int connections() const { return connections_; }
  // The status of the last answer, 0 before any, -1 when none came.
  int lastStatus() const { return lastStatus_; }
  bool gaveUp() const { return gaveUp_; }
  void close();

 private:
  int port_;
  mutable std::mutex mutex_;
  std::string text_;
  std::atomic<int> connections_{0};
  std::atomic<int> lastStatus_{0};
  std::atomic<bool> gaveUp_{false};
  std::atomic<bool> stop_{false};
  httplib::Client* current_ = nullptr;  // guarded by mutex_
  std::thread thread_;
};

}  // namespace testsupport
