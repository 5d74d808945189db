#pragma once
// A web site on 127.0.0.1 that answers every request with bytes the test
// scripts, so it can misbehave as real sites do: cut an answer short, stall
// after its headers, announce a size it never sends. It records the request
// target of every request, so a test can see what curl asked for.
#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "fake_curl/fake_curl.h"

namespace testsupport {

struct RawReply {
  std::string bytes;                    // status line, headers and whatever body is sent
  std::chrono::milliseconds hold{0};    // then keep the connection open this long, unless the client closes
};

// A whole answer: status 200, its length, and the connection closed after it.
RawReply completeReply(const std::string& body);

class LoopbackSite {
 public:
  // `answer` runs on the site's thread, once per request, with its target.
  explicit LoopbackSite(std::function<RawReply(const std::string& target)> answer);
  ~LoopbackSite();
  LoopbackSite(const LoopbackSite&) = delete;
  LoopbackSite& operator=(const LoopbackSite&) = delete;

  // "http://127.0.0.1:" + the port.
  std::string base() const;
  // The request targets received so far, in order.
  std::vector<std::string> targets() const;

 private:
  void serve();
  void answerOne(int client);

  std::function<RawReply(const std::string&)> answer_;
  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  mutable std::mutex mutex_;
  std::vector<std::string> targets_;
  std::thread thread_;
};

// A bare listener on 127.0.0.1 that speaks no protocol: it counts the
// connections made to it and keeps the first bytes each one sent (waiting a
// short while for them), then closes it. A test sees whether anything
// connected, and what it began to say.
class LoopbackListener {
 public:
  LoopbackListener();
  ~LoopbackListener();
  LoopbackListener(const LoopbackListener&) = delete;
  LoopbackListener& operator=(const LoopbackListener&) = delete;

  int port() const { return port_; }
  int connections() const;
  // What the connections sent first, one after another.
  std::string firstBytes() const;

 private:
  void serve();

  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  mutable std::mutex mutex_;
  int connections_ = 0;
  std::string firstBytes_;
  std::thread thread_;
};

// Makes this process run the system's real curl (/usr/bin/curl) with no proxy
// and no user configuration, with `temp` as its temporary folder.
void useRealCurl(testsupport::ScopedEnv& env, const std::filesystem::path& temp);

}  // namespace testsupport
