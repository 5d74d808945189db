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

}  // namespace testsupport
