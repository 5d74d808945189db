// The server's own connection handling: its pool of workers and the options
// every accepted connection gets.
#include <arpa/inet.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "server/connections.h"
#include "support/test_timings.h"
#include "support/raw_http.h"

namespace {

TEST(WorkerPool, GrowsSoThatNoJobWaitsBehindOnesThatOnlyWait) {
  WorkerPool pool(4, 40);
  std::mutex mutex;
  std::condition_variable cond;
  int running = 0;
  bool release = false;
  for (int i = 0; i < 30; ++i) {
    pool.enqueue([&] {
      std::unique_lock<std::mutex> lock(mutex);
      ++running;
      cond.notify_all();
      cond.wait(lock, [&] { return release; });
    });
  }
  {
    std::unique_lock<std::mutex> lock(mutex);
    EXPECT_TRUE(cond.wait_for(lock, std::chrono::seconds(10), [&] { return running == 30; })) << running;
    release = true;
  }
  cond.notify_all();
  // Threads still starting count as busy, so a few more may have been added.
  EXPECT_GE(pool.threadCount(), 30u);
  EXPECT_LE(pool.threadCount(), 34u);
  pool.shutdown();
}

TEST(WorkerPool, NeverGrowsBeyondItsMostAndStillRunsEveryJob) {
  WorkerPool pool(2, 5);
  std::atomic<int> done{0};
  for (int i = 0; i < 50; ++i) {
    pool.enqueue([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      ++done;
    });
  }
  for (int i = 0; i < 1000 && done < 50; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(done.load(), 50);
  EXPECT_LE(pool.threadCount(), 5u);
  pool.shutdown();
}

TEST(WorkerPool, ThreadsBeyondTheCoreEndAfterTheirIdleTimeAndComeBackWhenNeeded) {
  WorkerPool pool(3, 20, std::chrono::milliseconds(200));
  for (int burst = 0; burst < 2; ++burst) {
    std::mutex mutex;
    std::condition_variable cond;
    int running = 0;
    bool release = false;
    for (int i = 0; i < 12; ++i) {
      pool.enqueue([&] {
        std::unique_lock<std::mutex> lock(mutex);
        ++running;
        cond.notify_all();
        cond.wait(lock, [&] { return release; });
        --running;
        cond.notify_all();
      });
    }
    {
      std::unique_lock<std::mutex> lock(mutex);
      ASSERT_TRUE(cond.wait_for(lock, std::chrono::seconds(10), [&] { return running == 12; })) << running;
      release = true;
      cond.notify_all();
      ASSERT_TRUE(cond.wait_for(lock, std::chrono::seconds(10), [&] { return running == 0; }));
    }
    EXPECT_GE(pool.threadCount(), 12u) << burst;
    // Spare threads go after their idle time; the core stays, however long it waits.
    for (int i = 0; i < 500 && pool.threadCount() > 3; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(pool.threadCount(), 3u) << burst;
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(pool.threadCount(), 3u) << burst;
  }
  std::atomic<int> done{0};
  for (int i = 0; i < 10; ++i) pool.enqueue([&] { ++done; });
  for (int i = 0; i < 1000 && done < 10; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(done.load(), 10);
  pool.shutdown();
}

// The accepted end of a connection to `port` in this process, found among
// its open files; -1 when there is none.
int acceptedSocket(int port) {
  DIR* dir = ::opendir("/proc/self/fd");
  if (dir == nullptr) return -1;
  int found = -1;
  while (dirent* entry = ::readdir(dir)) {
    int fd = std::atoi(entry->d_name);
    if (fd <= 2) continue;
    sockaddr_in local{}, peer{};
    socklen_t length = sizeof local;
    int listening = 0;
    socklen_t size = sizeof listening;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) != 0 || local.sin_family != AF_INET) continue;
    length = sizeof peer;
    if (ntohs(local.sin_port) != port || ::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) != 0) continue;
    if (::getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &size) == 0 && listening == 0) found = fd;
  }
  ::closedir(dir);
  return found;
}

int intOption(int fd, int level, int name) {
  int value = -1;
  socklen_t size = sizeof value;
  ::getsockopt(fd, level, name, &value, &size);
  return value;
}

struct Option {
  int level, name, expected;
  const char* what;
};

// The options of the connection that carries one request to a HouseholdServer.
void expectAcceptedOptions(const std::vector<Option>& options) {
  HouseholdServer server;
  std::vector<int> seen;
  std::atomic<bool> answered{false};
  int port = 0;
  // Read while the request is served, on the connection that carries it.
  server.Get("/x", [&](const httplib::Request&, httplib::Response& response) {
    const int fd = acceptedSocket(port);
    for (const auto& o : options) seen.push_back(fd < 0 ? -2 : intOption(fd, o.level, o.name));
    answered = true;
    response.set_content("ok", "text/plain");
  });
  port = server.bind_to_any_port("127.0.0.1");
  ASSERT_GT(port, 0);
  std::thread serving([&] { server.listen_after_bind(); });
  httplib::Client client("127.0.0.1", port);
  auto res = client.Get("/x");
  server.stop();
  serving.join();
  ASSERT_TRUE(res);
  ASSERT_TRUE(answered.load());
  ASSERT_EQ(seen.size(), options.size());
  for (std::size_t i = 0; i < seen.size(); ++i) EXPECT_EQ(seen[i], options[i].expected) << options[i].what;
}

TEST(HouseholdServer, EveryAcceptedConnectionWatchesForAVanishedPeer) {
  expectAcceptedOptions({
      {SOL_SOCKET, SO_KEEPALIVE, 1, "SO_KEEPALIVE"},
      {IPPROTO_TCP, TCP_NODELAY, 1, "TCP_NODELAY"},
      {IPPROTO_TCP, TCP_KEEPIDLE, platform::kKeepAliveIdleSeconds, "TCP_KEEPIDLE"},
      {IPPROTO_TCP, TCP_KEEPINTVL, platform::kKeepAliveIntervalSeconds, "TCP_KEEPINTVL"},
      {IPPROTO_TCP, TCP_KEEPCNT, platform::kKeepAliveProbes, "TCP_KEEPCNT"},
      {IPPROTO_TCP, TCP_USER_TIMEOUT, platform::kUnacknowledgedSeconds * 1000, "TCP_USER_TIMEOUT"},
  });
  EXPECT_LE(platform::kKeepAliveIdleSeconds + platform::kKeepAliveIntervalSeconds * platform::kKeepAliveProbes,
            platform::kDeadPeerSeconds);
}

// Tests shorten the times to see a vanished peer noticed in seconds.
TEST(HouseholdServer, ShortenedDeadPeerTimesReachTheConnection) {
  testsupport::ScopedTimings shortened("peeridle=1,peerinterval=2,peerprobes=4,peerunacked=3");
  expectAcceptedOptions({
      {IPPROTO_TCP, TCP_KEEPIDLE, 1, "TCP_KEEPIDLE"},
      {IPPROTO_TCP, TCP_KEEPINTVL, 2, "TCP_KEEPINTVL"},
      {IPPROTO_TCP, TCP_KEEPCNT, 4, "TCP_KEEPCNT"},
      {IPPROTO_TCP, TCP_USER_TIMEOUT, 3000, "TCP_USER_TIMEOUT"},
  });
}

// A server with one route whose answer says "Connection: close", and one
// that counts the requests it runs.
struct ClosingServer {
  HouseholdServer server;
  std::atomic<int> counted{0};
  int port = 0;
  std::thread serving;
  ClosingServer() {
    server.Get("/closing", [](const httplib::Request&, httplib::Response& response) {
      response.set_header("Connection", "close");
      response.set_content("last", "text/plain");
    });
    server.Get("/count", [this](const httplib::Request&, httplib::Response& response) {
      ++counted;
      response.set_content("counted", "text/plain");
    });
    port = server.bind_to_any_port("127.0.0.1");
    serving = std::thread([this] { server.listen_after_bind(); });
    for (int i = 0; i < 1000 && !server.is_running(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ~ClosingServer() {
    server.stop();
    serving.join();
  }
};

TEST(HouseholdServer, AnAnswerThatSaysCloseIsTheLastOnItsConnection) {
  ClosingServer s;
  ASSERT_GT(s.port, 0);
  // The answer to HEAD has no body at all; it ends its connection the same.
  for (const char* method : {"GET", "HEAD"}) {
    const int fd = testsupport::connectLoopback(s.port);
    ASSERT_GE(fd, 0);
    const std::string requests =
        std::string(method) + " /closing HTTP/1.1\r\nHost: x\r\n\r\nGET /count HTTP/1.1\r\nHost: x\r\n\r\n";
    ASSERT_EQ(::send(fd, requests.data(), requests.size(), MSG_NOSIGNAL), static_cast<ssize_t>(requests.size()));
    std::string received;
    char buffer[4096];
    for (long n; (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0;) received.append(buffer, static_cast<std::size_t>(n));
    ::close(fd);
    EXPECT_NE(received.find("Connection: close\r\n"), std::string::npos) << method;
    EXPECT_EQ(received.find("counted"), std::string::npos) << method;
  }
  EXPECT_EQ(s.counted.load(), 0);
}

TEST(ListeningSocket, ReusesTheAddressButNeverSharesThePort) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(fd, 0);
  platform::prepareListeningSocket(fd);
  EXPECT_EQ(intOption(fd, SOL_SOCKET, SO_REUSEADDR), 1);
  EXPECT_EQ(intOption(fd, SOL_SOCKET, SO_REUSEPORT), 0);
  ::close(fd);
}

}  // namespace
