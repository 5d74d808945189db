#include "support/event_stream_reader.h"

#include "support/helpers.h"

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
  return waitUntil([&] { return countOf(text(), needle) >= times; }, timeout);
}

BrowserEventSource::BrowserEventSource(int port) : port_(port) {
  thread_ = std::thread([this] {
    int retryMs = 3000;
    while (!stop_) {
      httplib::Client client("127.0.0.1", port_);
      client.set_read_timeout(60, 0);
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stop_) break;
        current_ = &client;
      }
      ++connections_;
      bool eventStream = false;
      std::string received;
      auto res = client.Get(
          "/api/stream",
          [&](const httplib::Response& response) {
            lastStatus_ = response.status;
            eventStream = response.status == 200 &&
                          response.get_header_value("Content-Type").rfind("text/event-stream", 0) == 0;
            return true;
          },
          [&](const char* data, std::size_t length) {
            received.append(data, length);
            std::lock_guard<std::mutex> lock(mutex_);
            text_.append(data, length);
            return !stop_.load();
          });
      {
        std::lock_guard<std::mutex> lock(mutex_);
        current_ = nullptr;
      }
      if (!res && lastStatus_ == 0) lastStatus_ = -1;
      if (stop_) break;
      if (lastStatus_ > 0 && !eventStream) {
        gaveUp_ = true;
        break;
      }
      for (auto at = received.find("retry: "); at != std::string::npos; at = received.find("retry: ", at + 1)) {
        if (at == 0 || received[at - 1] == '\n') retryMs = std::atoi(received.c_str() + at + 7);
      }
      for (int waited = 0; waited < retryMs && !stop_; waited += 10) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
    }
  });
}

BrowserEventSource::~BrowserEventSource() { close(); }

void BrowserEventSource::close() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
    if (current_ != nullptr) current_->stop();
  }
  if (thread_.joinable()) thread_.join();
}

std::string BrowserEventSource::text() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return text_;
}

bool BrowserEventSource::waitFor(const std::string& needle, std::chrono::milliseconds timeout, int times) const {
  return waitUntil([&] { return countOf(text(), needle) >= times; }, timeout);
}

}  // namespace testsupport
