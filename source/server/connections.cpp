#include "server/connections.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "platform/platform.h"
#include "server/timings.h"

namespace {

using Clock = std::chrono::steady_clock;

std::chrono::milliseconds toMilliseconds(time_t seconds, time_t microseconds) {
  return std::chrono::milliseconds(static_cast<long long>(seconds) * 1000 + microseconds / 1000);
}

int millisecondsUntil(Clock::time_point when) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(when - Clock::now()).count();
  return static_cast<int>(std::clamp<long long>(left, 0, std::numeric_limits<int>::max()));
}

// One connection as the library's request code sees it. Reads are buffered
// (the library reads a request's head a byte at a time) and stop at the
// request's deadline; writes wait at most the write time-out for room.
class ConnectionStream : public httplib::Stream {
 public:
  ConnectionStream(socket_t sock, std::chrono::milliseconds readTimeout, std::chrono::milliseconds writeTimeout)
      : sock_(sock), readTimeout_(readTimeout), writeTimeout_(writeTimeout) {}

  // Starts the clock of a new request.
  void beginRequest() {
    deadline_ = Clock::now() + std::chrono::seconds(timings.requestSeconds);
    received_ = 0;
    answering_ = false;
  }

  bool is_readable() const override { return readWait() == platform::SocketWait::ready; }

  // Before each piece of a streamed answer the library asks this; a peer
  // that closed its end will never read the piece, so its stream ends now.
  bool is_writable() const override {
    return !platform::peerHasLeft(sock_) &&
           platform::waitToWrite(sock_, static_cast<int>(writeTimeout_.count())) == platform::SocketWait::ready;
  }

  ssize_t read(char* ptr, std::size_t size) override {
    if (offset_ < filled_) {
      std::size_t n = std::min(size, filled_ - offset_);
      std::memcpy(ptr, buffer_ + offset_, n);
      offset_ += n;
      return static_cast<ssize_t>(n);
    }
    if (readWait() != platform::SocketWait::ready) return -1;
    long n = platform::receiveSome(sock_, buffer_, sizeof buffer_);
    if (n <= 0) return n;
    received_ += static_cast<std::size_t>(n);
    filled_ = static_cast<std::size_t>(n);
    offset_ = std::min(size, filled_);
    std::memcpy(ptr, buffer_, offset_);
    return static_cast<ssize_t>(offset_);
  }

  ssize_t write(const char* ptr, std::size_t size) override {
    answering_ = true;
    if (platform::waitToWrite(sock_, static_cast<int>(writeTimeout_.count())) != platform::SocketWait::ready) {
      return -1;
    }
    return platform::sendSome(sock_, ptr, size);
  }

  void get_remote_ip_and_port(std::string& ip, int& port) const override { platform::peerAddress(sock_, ip, port); }
  void get_local_ip_and_port(std::string& ip, int& port) const override { platform::localAddress(sock_, ip, port); }
  socket_t socket() const override { return sock_; }

  // Whether bytes of a next request are already buffered.
  bool hasBuffered() const { return offset_ < filled_; }

 private:
  // The read time-out, cut short by the request's deadline until its answer
  // begins; the deadline moves one second on for every kRequestBytesPerSecond.
  platform::SocketWait readWait() const {
    int wait = static_cast<int>(readTimeout_.count());
    if (!answering_) {
      auto deadline = deadline_ + std::chrono::seconds(received_ / kRequestBytesPerSecond);
      if (Clock::now() >= deadline) return platform::SocketWait::timedOut;
      wait = std::min(wait, millisecondsUntil(deadline));
    }
    return platform::waitToRead(sock_, wait);
  }

  socket_t sock_;
  std::chrono::milliseconds readTimeout_;
  std::chrono::milliseconds writeTimeout_;
  Clock::time_point deadline_ = Clock::now() + std::chrono::seconds(timings.requestSeconds);
  std::size_t received_ = 0;
  bool answering_ = false;
  char buffer_[4096];
  std::size_t offset_ = 0;
  std::size_t filled_ = 0;
};

}  // namespace

WorkerPool::WorkerPool(std::size_t core, std::size_t most, std::chrono::milliseconds spareIdle)
    : core_(core), most_(std::max(core, most)), spareIdle_(spareIdle) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (std::size_t i = 0; i < core; ++i) startThread();
}

WorkerPool::~WorkerPool() { shutdown(); }

void WorkerPool::startThread() {
  try {
    std::thread thread(&WorkerPool::work, this);
    // The new thread takes mutex_ before it looks itself up, so it finds itself here.
    const std::thread::id id = thread.get_id();
    threads_.emplace(id, std::move(thread));
  } catch (const std::system_error&) {
    // The system has no thread to spare: the job waits for one of those running.
  }
}

void WorkerPool::joinEnded() {
  std::vector<std::thread> ended;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ended.swap(ended_);
  }
  for (auto& t : ended) t.join();
}

void WorkerPool::enqueue(std::function<void()> job) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    jobs_.push_back(std::move(job));
    if (jobs_.size() > idle_ && threads_.size() < most_) startThread();
  }
  cond_.notify_one();
  joinEnded();
}

void WorkerPool::shutdown() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) return;
    stopping_ = true;
  }
  cond_.notify_all();
  // No thread starts or ends by itself once stopping_ is set; each returns
  // when the jobs are done.
  for (auto& entry : threads_) entry.second.join();
  joinEnded();
}

std::size_t WorkerPool::threadCount() {
  std::lock_guard<std::mutex> lock(mutex_);
  return threads_.size();
}

void WorkerPool::work() {
  for (;;) {
    std::function<void()> job;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      ++idle_;
      auto giveUp = std::chrono::steady_clock::now() + spareIdle_;
      while (!stopping_ && jobs_.empty()) {
        if (cond_.wait_until(lock, giveUp) != std::cv_status::timeout) continue;
        if (stopping_ || !jobs_.empty()) break;
        if (threads_.size() > core_) {
          // A spare thread without work for spareIdle_ hands itself over to
          // be joined, joins those that ended before it (so that their
          // stacks are freed without waiting for the next connection), and ends.
          --idle_;
          std::vector<std::thread> earlier;
          earlier.swap(ended_);
          auto self = threads_.find(std::this_thread::get_id());
          ended_.push_back(std::move(self->second));
          threads_.erase(self);
          lock.unlock();
          for (auto& t : earlier) t.join();
          return;
        }
        giveUp = std::chrono::steady_clock::now() + spareIdle_;
      }
      --idle_;
      if (jobs_.empty()) return;
      job = std::move(jobs_.front());
      jobs_.pop_front();
    }
    job();
  }
}

HouseholdServer::HouseholdServer() {
  new_task_queue = [] { return new WorkerPool(kCoreWorkers, kMostWorkers); };
}

bool HouseholdServer::process_and_close_socket(socket_t sock) {
  platform::prepareConnection(sock, timings.deadPeer);
  ConnectionStream stream(sock, toMilliseconds(read_timeout_sec_, read_timeout_usec_),
                          toMilliseconds(write_timeout_sec_, write_timeout_usec_));
  bool ok = false;
  // Each request may be the connection's last: at most keep_alive_max_count_
  // of them, each begun within the keep-alive time-out of the one before.
  for (std::size_t left = keep_alive_max_count_; left > 0 && svr_sock_ != INVALID_SOCKET; --left) {
    if (!stream.hasBuffered() &&
        platform::waitToRead(sock, static_cast<int>(keep_alive_timeout_sec_ * 1000)) != platform::SocketWait::ready) {
      break;
    }
    stream.beginRequest();
    bool closed = false;
    ok = process_request(stream, left == 1, closed, nullptr);
    if (!ok || closed) break;
  }
  platform::closeConnection(sock);
  return ok;
}
