#include "support/loopback_site.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

namespace testsupport {

RawReply completeReply(const std::string& body) {
  return RawReply{"HTTP/1.1 200 OK\r\nContent-Type: text/calendar\r\nContent-Length: " +
                      std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body,
                  std::chrono::milliseconds(0)};
}

namespace {

// A listening socket on 127.0.0.1 at a port the system picks; sets `port`.
int openLoopbackListener(int& port) {
  int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(listener, 16) != 0 || ::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    if (listener >= 0) ::close(listener);
    throw std::runtime_error("cannot open a loopback listener");
  }
  port = ntohs(addr.sin_port);
  return listener;
}

// Accepts connections one at a time until `stop`, hands each to `handle`
// and closes it afterwards.
void acceptUntilStopped(int listener, const std::atomic<bool>& stop, const std::function<void(int)>& handle) {
  while (!stop) {
    pollfd p{listener, POLLIN, 0};
    if (::poll(&p, 1, 50) <= 0) continue;
    int client = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) continue;
    handle(client);
    ::close(client);
  }
}

}  // namespace

LoopbackSite::LoopbackSite(std::function<RawReply(const std::string&)> answer) : answer_(std::move(answer)) {
  listener_ = openLoopbackListener(port_);
  thread_ = std::thread([this] { serve(); });
}

LoopbackSite::~LoopbackSite() {
  stop_ = true;
  thread_.join();
  ::close(listener_);
}

std::string LoopbackSite::base() const { return "http://127.0.0.1:" + std::to_string(port_); }

std::vector<std::string> LoopbackSite::targets() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return targets_;
}

void LoopbackSite::serve() {
  acceptUntilStopped(listener_, stop_, [this](int client) { answerOne(client); });
}

void LoopbackSite::answerOne(int client) {
  // The request head, read within a few seconds; its body (if any) is not needed.
  std::string head;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  char buffer[4096];
  while (head.find("\r\n\r\n") == std::string::npos && head.size() < 65536 && !stop_ &&
         std::chrono::steady_clock::now() < deadline) {
    pollfd p{client, POLLIN, 0};
    if (::poll(&p, 1, 50) <= 0) continue;
    ssize_t n = ::recv(client, buffer, sizeof buffer, 0);
    if (n <= 0) return;
    head.append(buffer, static_cast<std::size_t>(n));
  }
  std::size_t space = head.find(' ');
  std::size_t end = space == std::string::npos ? std::string::npos : head.find(' ', space + 1);
  if (end == std::string::npos) return;
  std::string target = head.substr(space + 1, end - space - 1);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    targets_.push_back(target);
  }

  RawReply reply = answer_(target);
  const char* p = reply.bytes.data();
  std::size_t left = reply.bytes.size();
  while (left > 0 && !stop_) {
    ssize_t n = ::send(client, p, left, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    p += n;
    left -= static_cast<std::size_t>(n);
  }

  // Hold the connection, reading (and dropping) whatever comes, until the
  // client closes it, the hold ends or the site stops.
  auto holdEnd = std::chrono::steady_clock::now() + reply.hold;
  while (!stop_ && std::chrono::steady_clock::now() < holdEnd) {
    pollfd q{client, POLLIN, 0};
    if (::poll(&q, 1, 50) <= 0) continue;
    if (::recv(client, buffer, sizeof buffer, 0) <= 0) return;
  }
}

LoopbackListener::LoopbackListener() {
  listener_ = openLoopbackListener(port_);
  thread_ = std::thread([this] { serve(); });
}

LoopbackListener::~LoopbackListener() {
  stop_ = true;
  thread_.join();
  ::close(listener_);
}

int LoopbackListener::connections() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return connections_;
}

std::string LoopbackListener::firstBytes() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return firstBytes_;
}

void LoopbackListener::serve() {
  acceptUntilStopped(listener_, stop_, [this](int client) {
    std::string first;
    pollfd q{client, POLLIN, 0};
    if (::poll(&q, 1, 2000) > 0) {
      char buffer[512];
      ssize_t n = ::recv(client, buffer, sizeof buffer, 0);
      if (n > 0) first.assign(buffer, static_cast<std::size_t>(n));
    }
    std::lock_guard<std::mutex> lock(mutex_);
    ++connections_;
    firstBytes_ += first;
  });
}

void useRealCurl(testsupport::ScopedEnv& env, const std::filesystem::path& temp) {
  env.set("PATH", "/usr/bin:/bin");
  for (const char* name : {"http_proxy", "https_proxy", "all_proxy", "no_proxy", "HTTP_PROXY", "HTTPS_PROXY",
                           "ALL_PROXY", "NO_PROXY", "CURL_HOME"}) {
    env.unset(name);
  }
  env.set("TMPDIR", temp.string());
}

}  // namespace testsupport
