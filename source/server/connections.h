#pragma once
// How the HTTP server holds its connections: which thread serves each, how
// long one may wait between requests or take to send one, and how a peer
// that went away is noticed.
#include <httplib.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string_view>
#include <thread>
#include <vector>

// HouseholdServer reads and overrides parts of the library that are not its
// public interface (README, "What the server relies on inside the HTTP
// library"); each release changes some of them, so no other one is taken.
static_assert(std::string_view(CPPHTTPLIB_VERSION) == "0.11.4",
              "Brimloft builds against cpp-httplib 0.11.4 only: HouseholdServer relies on its internals (see the "
              "README's list before moving to another release)");

// The pool starts with kCoreWorkers threads and adds one whenever a
// connection would otherwise wait for a free thread, up to kMostWorkers. Most
// connections only wait (open event streams, browsers keeping a connection
// for their next request, slow senders): a household with many tablets and
// phones would otherwise queue its page loads and writes behind them.
constexpr std::size_t kCoreWorkers = 64;
constexpr std::size_t kMostWorkers = 192;

// A request's line, headers and body must all arrive within
// timings.requestSeconds (10 s) from its first byte, plus one second for each
// kRequestBytesPerSecond received, until its answer begins ("100 Continue"
// does not count): a client that sends a byte now and then cannot hold a
// thread for long, while a 2 MB write on slow Wi-Fi still has two minutes. A
// request cut off by it is answered 408 and its connection ends.
constexpr std::size_t kRequestBytesPerSecond = 16 * 1024;
// A request's line and headers together; a longer head is answered 431 and
// its connection ends, before more of it is held.
constexpr std::size_t kMaxRequestHeadBytes = 64 * 1024;
// After an answer that ends its connection, what the client still sends (the
// rest of a body the server refused) is read and dropped for up to this long
// and this much, so that the client's sending does not fail before it reads
// the answer; the reading stops sooner at the client's end or once it sends
// nothing for kLingerQuietTime.
constexpr std::chrono::seconds kLingerTime{2};
constexpr std::chrono::milliseconds kLingerQuietTime{500};
constexpr std::size_t kLingerBytes = 4 * 1024 * 1024;

// Threads beyond the pool's first `core` end after this long without a job,
// so that a burst's threads (and their stacks) are given back.
constexpr std::chrono::seconds kSpareWorkerIdle{60};

class WorkerPool : public httplib::TaskQueue {
 public:
  WorkerPool(std::size_t core, std::size_t most,
             std::chrono::milliseconds spareIdle = std::chrono::milliseconds(kSpareWorkerIdle));
  ~WorkerPool() override;
  void enqueue(std::function<void()> job) override;
  void shutdown() override;
  // For tests: the threads running now.
  std::size_t threadCount();

 private:
  void work();
  void startThread();  // called with mutex_ held
  // Joins the threads that ended for want of work (the last to end waits in
  // ended_ for the next job or the next to end). Call without mutex_.
  void joinEnded();
  // Guards everything below. Taken by the accept loop (enqueue) and by the
  // workers between jobs, never with another lock; jobs run without it.
  std::mutex mutex_;
  std::condition_variable cond_;
  std::deque<std::function<void()>> jobs_;
  std::map<std::thread::id, std::thread> threads_;
  std::vector<std::thread> ended_;  // spare threads that returned, to be joined
  std::size_t idle_ = 0;
  std::size_t core_;
  std::size_t most_;
  std::chrono::milliseconds spareIdle_;
  bool stopping_ = false;
};

// The server with this program's connection handling in place of the
// library's own keep-alive loop (whose time-outs restart with every byte).
// The connection's own loop reads each request's head before the library
// parses it (the cap and the deadline), and ends the connection after any
// answer that says "Connection: close". Runs on the pool's workers; takes no
// lock.
class HouseholdServer : public httplib::Server {
 public:
  HouseholdServer();

 private:
  bool process_and_close_socket(socket_t sock) override;
};

// Makes the library write `request`'s answer whole and as it is: no parts for
// its Range header, no compression for its Accept-Encoding header. The
// library reads both from its own request object when it writes the answer,
// after every handler has run, and hands that object to handlers by const
// reference only; this clears them in it.
void answerWholeAndAsIs(const httplib::Request& request);
