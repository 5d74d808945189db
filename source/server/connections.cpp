#include "server/connections.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <string>

#include "platform/platform.h"
#include "server/peer_limits.h"
#include "server/timings.h"
#include "text/text_util.h"

namespace {

using Clock = std::chrono::steady_clock;

std::chrono::milliseconds toMilliseconds(time_t seconds, time_t microseconds) {
  return std::chrono::milliseconds(static_cast<long long>(seconds) * 1000 + microseconds / 1000);
}

// Rounded up: a wait that ends a fraction of a millisecond before `when`
// would find the deadline not yet reached, and take a request cut off by it
// for one whose sender merely paused.
int millisecondsUntil(Clock::time_point when) {
  auto left = std::chrono::ceil<std::chrono::milliseconds>(when - Clock::now()).count();
  return static_cast<int>(std::clamp<long long>(left, 0, std::numeric_limits<int>::max()));
}

// An answer of the connection layer itself, to a request the library never
// saw whole: the same shape as every JSON refusal, and the connection's last.
std::string refusal(int status, const char* reason, const char* message) {
  const std::string body = std::string("{\"error\":\"") + message + "\"}";
  return "HTTP/1.1 " + std::to_string(status) + " " + reason +
         "\r\nCache-Control: no-store\r\nConnection: close\r\nContent-Length: " + std::to_string(body.size()) +
         "\r\nContent-Type: application/json; charset=utf-8\r\n\r\n" + body;
}

// How reading a request's head ended.
enum class Head { whole, tooLarge, timedOut, ended };

// One connection as the library's request code sees it. Reads are buffered
// (the library reads a request's head a byte at a time) and stop at the
// request's deadline; writes wait at most the write time-out for room. The
// answers written are watched: an interim "100 Continue" leaves the deadline
// running, an answer that says "Connection: close" is the connection's last,
// and an answer without a length (the event stream) stops at the first piece
// that finds the peer gone.
class ConnectionStream : public httplib::Stream {
 public:
  ConnectionStream(socket_t sock, std::chrono::milliseconds readTimeout, std::chrono::milliseconds writeTimeout)
      : sock_(sock), readTimeout_(readTimeout), writeTimeout_(writeTimeout) {}

  // Starts the clock of a new request.
  void beginRequest() {
    deadline_ = Clock::now() + std::chrono::seconds(timings.requestSeconds);
    received_ = 0;
    answerHead_.clear();
    answerBegun_ = false;
    headWritten_ = false;
    saysClose_ = false;
    unframed_ = false;
    refused_ = false;
    if (offset_ == buffer_.size()) {
      buffer_.clear();
      offset_ = 0;
    }
  }

  // Reads until the buffer holds the request's whole line and headers, the
  // way the library will read them: lines up to a line feed, the head ending
  // at the first line that is only CR LF after the request line.
  Head readHead() {
    std::size_t from = offset_;
    for (;;) {
      const std::size_t end = buffer_.find("\n\r\n", from);
      if (end != std::string::npos) return end + 3 - offset_ <= kMaxRequestHeadBytes ? Head::whole : Head::tooLarge;
      if (buffer_.size() - offset_ >= kMaxRequestHeadBytes) return Head::tooLarge;
      from = std::max(offset_, buffer_.size() - std::min<std::size_t>(buffer_.size(), 2));
      // What the library has read is not kept while the head grows.
      buffer_.erase(0, offset_);
      from -= offset_;
      offset_ = 0;
      switch (receive()) {
        case Received::bytes:
          break;
        case Received::timedOut:
        case Received::stalled:
          return Head::timedOut;
        case Received::ended:
          return Head::ended;
      }
    }
  }

  // Answers a request the library never got whole, as the connection's last.
  void refuse(int status, const char* reason, const char* message) {
    const std::string answer = refusal(status, reason, message);
    writeAll(answer.data(), answer.size());
    answerBegun_ = true;
    saysClose_ = true;
    refused_ = true;
  }

  bool is_readable() const override { return offset_ < buffer_.size() || readWait() == platform::SocketWait::ready; }

  // Before each piece of a streamed answer the library asks this; a peer
  // that closed its end will never read the piece, so its stream ends now.
  bool is_writable() const override {
    return !platform::peerHasLeft(sock_) &&
           platform::waitToWrite(sock_, static_cast<int>(writeTimeout_.count())) == platform::SocketWait::ready;
  }

  ssize_t read(char* ptr, std::size_t size) override {
    if (offset_ == buffer_.size()) {
      buffer_.clear();
      offset_ = 0;
      switch (receive()) {
        case Received::bytes:
          break;
        case Received::timedOut:
          // The library would answer a body cut off like this as bad data;
          // the request's time is up, and that is what the client learns.
          if (!answerBegun_) refuse(408, "Request Timeout", kTimedOutMessage);
          return -1;
        case Received::stalled:
          return -1;
        case Received::ended:
          return 0;
      }
    }
    const std::size_t n = std::min(size, buffer_.size() - offset_);
    std::memcpy(ptr, buffer_.data() + offset_, n);
    offset_ += n;
    return static_cast<ssize_t>(n);
  }

  ssize_t write(const char* ptr, std::size_t size) override {
    // Once the connection layer has answered, nothing more is the client's.
    if (refused_ || !watchAnswer(ptr, size)) return -1;
    if (platform::waitToWrite(sock_, static_cast<int>(writeTimeout_.count())) != platform::SocketWait::ready) {
      return -1;
    }
    return platform::sendSome(sock_, ptr, size);
  }

  void get_remote_ip_and_port(std::string& ip, int& port) const override { platform::peerAddress(sock_, ip, port); }
  void get_local_ip_and_port(std::string& ip, int& port) const override { platform::localAddress(sock_, ip, port); }
  socket_t socket() const override { return sock_; }

  // Whether bytes of a next request are already buffered.
  bool hasBuffered() const { return offset_ < buffer_.size(); }
  // Whether this request's answer said "Connection: close".
  bool answerSaysClose() const { return saysClose_; }

  static constexpr const char* kTimedOutMessage = "The request took too long";

 private:
  enum class Received { bytes, timedOut, stalled, ended };

  // Adds what the socket has to the buffer, waiting as readWait says.
  Received receive() {
    const platform::SocketWait wait = readWait();
    if (wait == platform::SocketWait::timedOut) {
      return !answerBegun_ && Clock::now() >= deadline() ? Received::timedOut : Received::stalled;
    }
    if (wait != platform::SocketWait::ready) return Received::ended;
    const std::size_t filled = buffer_.size();
    buffer_.resize(filled + kReadSize);
    const long n = platform::receiveSome(sock_, &buffer_[filled], kReadSize);
    buffer_.resize(filled + static_cast<std::size_t>(std::max(n, 0L)));
    if (n <= 0) return Received::ended;
    received_ += static_cast<std::size_t>(n);
    return Received::bytes;
  }

  Clock::time_point deadline() const { return deadline_ + std::chrono::seconds(received_ / kRequestBytesPerSecond); }

  // The read time-out, cut short by the request's deadline until its answer
  // begins; the deadline moves one second on for every kRequestBytesPerSecond.
  platform::SocketWait readWait() const {
    int wait = static_cast<int>(readTimeout_.count());
    if (!answerBegun_) {
      const auto until = deadline();
      if (Clock::now() >= until) return platform::SocketWait::timedOut;
      wait = std::min(wait, millisecondsUntil(until));
    }
    return platform::waitToRead(sock_, wait);
  }

  // Follows the answer as it is written: its head (each interim one in turn)
  // until the blank line, then its body. False when a piece of an answer
  // without a length finds the peer gone: the first ping to a closed window
  // would otherwise go out, and only the next one fail.
  bool watchAnswer(const char* ptr, std::size_t size) {
    if (headWritten_) return !unframed_ || !platform::peerHasLeft(sock_);
    answerBegun_ = true;
    const std::size_t seen = answerHead_.size();
    answerHead_.append(ptr, std::min(size, kMaxAnswerHead));
    const std::size_t end = answerHead_.find("\r\n\r\n", seen < 3 ? 0 : seen - 3);
    if (end == std::string::npos) {
      // Only this server's own answers pass here; a head this long is none of them.
      if (answerHead_.size() >= kMaxAnswerHead) headWritten_ = true;
      return true;
    }
    answerHead_.resize(end + 2);
    if (startsWith(answerHead_, "HTTP/1.1 1")) {
      // "100 Continue": the request is still the client's to send.
      answerHead_.clear();
      answerBegun_ = false;
      return true;
    }
    headWritten_ = true;
    // Header names in any case; the library writes each header as "name: value".
    const std::string head = toLowerAscii(answerHead_);
    saysClose_ = head.find("\r\nconnection: close\r\n") != std::string::npos;
    unframed_ = head.find("\r\ncontent-length:") == std::string::npos;
    return true;
  }

  void writeAll(const char* data, std::size_t size) {
    for (std::size_t sent = 0; sent < size;) {
      if (platform::waitToWrite(sock_, static_cast<int>(writeTimeout_.count())) != platform::SocketWait::ready) return;
      const long n = platform::sendSome(sock_, data + sent, size - sent);
      if (n <= 0) return;
      sent += static_cast<std::size_t>(n);
    }
  }

  static constexpr std::size_t kReadSize = 4096;
  static constexpr std::size_t kMaxAnswerHead = 16 * 1024;

  socket_t sock_;
  std::chrono::milliseconds readTimeout_;
  std::chrono::milliseconds writeTimeout_;
  Clock::time_point deadline_ = Clock::now() + std::chrono::seconds(timings.requestSeconds);
  std::size_t received_ = 0;
  // What was read from the socket; the library has taken it up to offset_.
  std::string buffer_;
  std::size_t offset_ = 0;
  // The answer to the current request, as far as it was written.
  std::string answerHead_;
  bool answerBegun_ = false;  // its head (not an interim one) is being written
  bool headWritten_ = false;  // its head is whole; what follows is its body
  bool saysClose_ = false;
  bool unframed_ = false;  // no Content-Length: chunked, or to the end of the connection
  bool refused_ = false;   // answered by refuse(); the library's answer is dropped
};

// Reads and drops what the client still sends after the connection's last
// answer, within kLingerTime and kLingerBytes, and closes. Closing with bytes
// unread (or arriving) makes the system reset the connection, and a client
// still sending a body then fails before it reads the answer.
void lingerAndClose(socket_t sock) {
  platform::stopSending(sock);
  const auto giveUp = Clock::now() + kLingerTime;
  const int quiet = static_cast<int>(kLingerQuietTime.count());
  char sink[16384];
  for (std::size_t dropped = 0; dropped < kLingerBytes;) {
    if (platform::waitToRead(sock, std::min(quiet, millisecondsUntil(giveUp))) != platform::SocketWait::ready) break;
    const long n = platform::receiveSome(sock, sink, sizeof sink);
    if (n <= 0) break;
    dropped += static_cast<std::size_t>(n);
  }
  platform::closeConnection(sock);
}

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
  // One device may not take every worker: once the server is crowded, a peer
  // that holds its share has its further connections closed unread. The
  // place is given back when `admission` ends, after the socket is closed.
  std::string peer;
  int peerPort = 0;
  platform::peerAddress(sock, peer, peerPort);
  const PeerLimits::Admission admission = peerLimits.admit(peer);
  if (!admission) {
    platform::closeConnection(sock);
    return false;
  }
  platform::prepareConnection(sock, timings.deadPeer);
  ConnectionStream stream(sock, toMilliseconds(read_timeout_sec_, read_timeout_usec_),
                          toMilliseconds(write_timeout_sec_, write_timeout_usec_));
  bool ok = false;
  bool linger = false;
  // Each request may be the connection's last: at most keep_alive_max_count_
  // of them, each begun within the keep-alive time-out of the one before.
  for (std::size_t left = keep_alive_max_count_; left > 0 && svr_sock_ != INVALID_SOCKET; --left) {
    if (!stream.hasBuffered() &&
        platform::waitToRead(sock, static_cast<int>(keep_alive_timeout_sec_ * 1000)) != platform::SocketWait::ready) {
      break;
    }
    stream.beginRequest();
    const Head head = stream.readHead();
    if (head == Head::ended) break;
    if (head == Head::timedOut) {
      stream.refuse(408, "Request Timeout", ConnectionStream::kTimedOutMessage);
      break;
    }
    if (head == Head::tooLarge) {
      stream.refuse(431, "Request Header Fields Too Large", "Request headers too large");
      linger = true;
      break;
    }
    bool closed = false;
    ok = process_request(stream, left == 1, closed, nullptr);
    // A whole answer that ends the connection may leave part of the request
    // (a body the server did not read) still arriving.
    if (ok && (closed || stream.answerSaysClose())) linger = true;
    if (!ok || closed || stream.answerSaysClose()) break;
  }
  if (linger) {
    lingerAndClose(sock);
  } else {
    platform::closeConnection(sock);
  }
  return ok;
}

void answerWholeAndAsIs(const httplib::Request& request) {
  auto& modifiable = const_cast<httplib::Request&>(request);
  modifiable.ranges.clear();
  modifiable.headers.erase("Accept-Encoding");
}
