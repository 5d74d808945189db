#include "support/event_stream_reader.h"

#include "support/server_process.h"

namespace testsupport {

EventStreamReader::EventStreamReader(int port) : client_("127.0.0.1", port) {
  client_.set_read_timeout(60, 0);
  thread_ = std::thread([this] {
    client_.Get(
        "/api/stream",
        [this](const httplib::Response& response) {
          std::lock_guard<std::mutex> lock(mutex_);
          headers_ = response.headers;
          status_ = response.status;
          return true;
        },
        [this](const char* data, std::size_t length) {
          std::lock_guard<std::mutex> lock(mutex_);
          text_.append(data, length);
          return !stop_.load();
        });
    if (status_ == 0) status_ = -1;
  });
}

EventStreamReader::~EventStreamReader() { close(); }

void EventStreamReader::close() {
  stop_ = true;
  client_.stop();
  if (thread_.joinable()) thread_.join();
}

std::string EventStreamReader::text() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return text_;
}

httplib::Headers EventStreamReader::headers() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return headers_;
}

bool EventStreamReader::waitFor(const std::string& needle, std::chrono::milliseconds timeout, int times) const {
  return waitUntil(
      [&] {
        std::string t = text();
        int n = 0;
        for (auto at = t.find(needle); at != std::string::npos; at = t.find(needle, at + needle.size())) ++n;
        return n >= times;
      },
      timeout);
}

}  // namespace testsupport
