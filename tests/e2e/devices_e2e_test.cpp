// Tablets and phones that come and go, reload, keep connections open, send
// slowly or read slowly, against the real program.
#include <gtest/gtest.h>
#include <httplib.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "support/event_stream_reader.h"
#include "support/raw_http.h"
#include "support/running_server.h"
#include "support/test_timings.h"

using namespace testsupport;
using namespace std::chrono_literals;

namespace {

const char kFullState[] = "retry: 3000\ndata: {\"full\":";

struct DevicesTest : ServerTest {
  void SetUp() override { startServer(); }
  // A write on a connection of its own, as another device makes it.
  int put(const std::string& path, const std::string& body) {
    auto res = server->newClient(20)->Put(path, body, "application/json");
    return res ? res->status : -1;
  }
  // A request of a device that has just arrived, on a connection of its own.
  httplib::Result timedGet(const std::string& path, std::chrono::milliseconds& took) {
    auto device = server->newClient(15);
    const auto start = std::chrono::steady_clock::now();
    auto res = device->Get(path.c_str());
    took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    return res;
  }
  std::vector<std::unique_ptr<EventStreamReader>> openStreams(int n) {
    std::vector<std::unique_ptr<EventStreamReader>> streams;
    for (int i = 0; i < n; ++i) streams.push_back(std::make_unique<EventStreamReader>(server->port()));
    for (auto& s : streams) EXPECT_TRUE(s->waitFor(kFullState, 10s));
    return streams;
  }
};

// Whether the server has closed the connection (nothing is ever sent to it).
bool closedByServer(int fd) {
  pollfd entry{fd, POLLIN, 0};
  if (::poll(&entry, 1, 0) <= 0) return false;
  char buffer[256];
  return ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT) <= 0;
}

TEST_F(DevicesTest, ClosedWindowsGiveTheirPlacesToReopenedOnesAtOnce) {
  auto streams = openStreams(56);
  // Ten windows are closed and reopened (a reload) all at the same moment.
  streams.erase(streams.begin(), streams.begin() + 10);
  std::vector<std::unique_ptr<BrowserEventSource>> reopened;
  for (int i = 0; i < 10; ++i) reopened.push_back(std::make_unique<BrowserEventSource>(server->port()));
  const auto start = std::chrono::steady_clock::now();
  for (auto& r : reopened) {
    EXPECT_TRUE(r->waitFor(kFullState, 10s)) << r->text();
    EXPECT_FALSE(r->gaveUp()) << r->lastStatus();
  }
  ASSERT_EQ(put("/api/doc/chores/c1", R"({"task":"dishes"})"), 200);
  for (auto& r : reopened) EXPECT_TRUE(r->waitFor("\"dishes\"", 10s)) << r->text();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
  for (auto& s : streams) EXPECT_TRUE(s->waitFor("\"dishes\"", 10s));
}

TEST_F(DevicesTest, AWindowTurnedAwayAtTheLimitComesBackByItselfWhenAPlaceIsFree) {
  auto streams = openStreams(56);
  BrowserEventSource extra(server->port());
  // Turned away with an answer that makes an event source try again.
  ASSERT_TRUE(extra.waitFor("Too many open calendar windows", 10s)) << extra.lastStatus();
  EXPECT_EQ(extra.lastStatus(), 200);
  EXPECT_FALSE(extra.waitFor(kFullState, 3s));
  EXPECT_GE(extra.connections(), 2);
  EXPECT_FALSE(extra.gaveUp());
  streams.pop_back();
  EXPECT_TRUE(extra.waitFor(kFullState, 10s)) << extra.text();
  ASSERT_EQ(put("/api/doc/chores/c1", R"({"task":"dishes"})"), 200);
  EXPECT_TRUE(extra.waitFor("\"dishes\"", 10s));
}

TEST_F(DevicesTest, ADeviceWithThreeKeptConnectionsPerWindowLeavesPagesFast) {
  // Twenty windows, each with its stream and three kept-alive connections
  // that ask something every two seconds.
  auto streams = openStreams(20);
  std::atomic<bool> stop{false};
  std::atomic<int> answered{0};
  std::vector<std::thread> tablets;
  for (int i = 0; i < 60; ++i) {
    tablets.emplace_back([&, i] {
      httplib::Client client("127.0.0.1", server->port());
      client.set_keep_alive(true);
      client.set_read_timeout(30, 0);
      while (!stop) {
        if (client.Get("/api/state")) ++answered;
        for (int t = 0; t < 200 && !stop; ++t) std::this_thread::sleep_for(10ms);
      }
      (void)i;
    });
  }
  waitUntil([&] { return answered >= 60; }, 10s);
  std::this_thread::sleep_for(200ms);
  // A new device arrives: its page and its first write are answered at once.
  std::chrono::milliseconds pageTime;
  auto page = timedGet("/", pageTime);
  stop = true;
  for (auto& t : tablets) t.join();
  ASSERT_TRUE(page);
  EXPECT_EQ(page->status, 200);
  EXPECT_LT(pageTime, 5s);
  EXPECT_GE(answered.load(), 60);
}

// The keep-alive time-out (5 s for a household) and the request deadline
// (10 s) shortened, so that cutting connections off takes seconds.
struct ShortWaitsDevicesTest : DevicesTest {
  void SetUp() override {
    ServerOptions options;
    options.env[kTestTimingsVariable] = "keepalive=1,request=1";
    startServer(options);
  }
};

TEST_F(ShortWaitsDevicesTest, SlowAndSilentConnectionsAreCutOffAndDoNotStopTheHousehold) {
  auto streams = openStreams(20);
  // Sixty connections send a request a byte every half second, forty send nothing.
  const std::string request = "GET /api/state HTTP/1.1\r\nHost: x\r\n\r\n";
  std::vector<int> trickling, silent;
  for (int i = 0; i < 60; ++i) {
    trickling.push_back(connectLoopback(server->port()));
    // The request begins at once, so its deadline (not the wait for a first
    // byte) is what ends it, however long the others take to connect.
    ::send(trickling.back(), request.data(), 1, MSG_NOSIGNAL);
  }
  for (int i = 0; i < 40; ++i) silent.push_back(connectLoopback(server->port()));
  const auto connected = std::chrono::steady_clock::now();
  std::atomic<bool> stop{false};
  std::thread trickle([&] {
    for (std::size_t at = 1; !stop && at < request.size() - 1; ++at) {
      for (int fd : trickling) ::send(fd, request.data() + at, 1, MSG_NOSIGNAL);
      for (int t = 0; t < 50 && !stop; ++t) std::this_thread::sleep_for(10ms);
    }
  });
  std::this_thread::sleep_for(500ms);
  std::chrono::milliseconds answerTime;
  ASSERT_TRUE(timedGet("/api/state", answerTime));
  EXPECT_LT(answerTime, 5s) << answerTime.count();
  // The server lets go of each within its time for a whole request.
  auto allClosed = [](const std::vector<int>& fds) {
    for (int fd : fds) {
      if (!closedByServer(fd)) return false;
    }
    return true;
  };
  // Within the shortened times, before a household's own (5 s and 10 s) would end them.
  EXPECT_TRUE(waitUntil([&] { return allClosed(silent); }, 20s));
  EXPECT_LT(std::chrono::steady_clock::now() - connected, 5s);
  EXPECT_TRUE(waitUntil([&] { return allClosed(trickling); }, 30s));
  EXPECT_LT(std::chrono::steady_clock::now() - connected, 10s);
  stop = true;
  trickle.join();
  for (int fd : trickling) ::close(fd);
  for (int fd : silent) ::close(fd);
}

// One device that opens hundreds of connections and sends nothing holds only
// its share of the workers once the server is crowded: its further
// connections are closed unread, and the household's other devices are
// answered at once instead of after the idle connections' 5 s.
TEST_F(DevicesTest, ADeviceOpeningHundredsOfConnectionsLeavesWorkersForTheOthers) {
  std::vector<int> flood;
  for (int i = 0; i < 300; ++i) {
    flood.push_back(connectLoopback(server->port(), 0, "127.0.0.2"));
    ASSERT_GE(flood.back(), 0) << i;
  }
  const auto connected = std::chrono::steady_clock::now();
  auto closedCount = [&] {
    int closed = 0;
    for (int fd : flood) closed += closedByServer(fd) ? 1 : 0;
    return closed;
  };
  // Everything past the first 128 (the server's crowded mark) is turned away.
  EXPECT_TRUE(waitUntil([&] { return closedCount() >= 300 - 128; }, 3s)) << closedCount();
  for (int i = 0; i < 20; ++i) {
    std::chrono::milliseconds took;
    auto res = timedGet("/api/state", took);
    ASSERT_TRUE(res) << i;
    EXPECT_EQ(res->status, 200);
    EXPECT_LT(took, 2s) << i << ": " << took.count() << " ms";
  }
  // All of that happened while the admitted ones still waited for a request.
  EXPECT_LT(std::chrono::steady_clock::now() - connected, 4s);
  EXPECT_LT(closedCount(), 300);
  for (int fd : flood) ::close(fd);
}

TEST_F(DevicesTest, SlowReadersNeverMakeTheServerBuildTheirWholeBacklog) {
  // Eight windows on a slow link read 64 KiB every 50 ms while 1 MB items are written.
  std::vector<int> readers;
  const std::string request = "GET /api/stream HTTP/1.1\r\nHost: x\r\n\r\n";
  for (int i = 0; i < 8; ++i) {
    int fd = connectLoopback(server->port(), 64 * 1024);
    ASSERT_GE(fd, 0);
    ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    readers.push_back(fd);
  }
  std::atomic<bool> stop{false};
  std::atomic<long long> received{0};
  std::thread reading([&] {
    std::vector<char> buffer(64 * 1024);
    while (!stop) {
      for (int fd : readers) {
        long n = ::recv(fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
        if (n > 0) received += n;
      }
      std::this_thread::sleep_for(50ms);
    }
  });
  std::this_thread::sleep_for(500ms);
  const long before = peakMemoryKiB(server->pid());
  for (int i = 0; i < 48; ++i) {
    std::string body = "{\"n\":" + std::to_string(i) + ",\"text\":\"" + std::string(1000000, 'a' + i % 26) + "\"}";
    ASSERT_EQ(put("/api/doc/events/big", body), 200);
  }
  std::this_thread::sleep_for(8s);
  const long peak = peakMemoryKiB(server->pid());
  stop = true;
  reading.join();
  for (int fd : readers) ::close(fd);
  EXPECT_GT(received.load(), 8LL * 1000000);
  std::printf("server's peak resident size: %ld MiB (before the writes %ld MiB)\n", peak / 1024, before / 1024);
  // State, history (48 MB) and the parsed writes take about 150 MB; eight
  // streams each building their whole backlog took over a gigabyte.
  EXPECT_LT(peak, 450L * 1024) << "before the writes: " << before << " KiB";
}

// Counts this network's TCP connections whose local end is `port`, in the
// states where they still hold a worker (established, or closed by the peer).
int connectionsOnPort(int port) {
  std::ifstream table("/proc/net/tcp");
  std::string line;
  std::getline(table, line);
  int n = 0;
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state;
    fields >> slot >> local >> remote >> state;
    auto colon = local.find(':');
    if (colon == std::string::npos) continue;
    if (std::stoi(local.substr(colon + 1), nullptr, 16) != port) continue;
    if (state == "01" || state == "08") ++n;
  }
  return n;
}

// Runs in a network of its own, made for this test only, whose loopback link
// is then taken down: the open streams' devices vanish without a word, as a
// phone does that leaves the house.
struct VanishingDevicesTest : DevicesTest {
  void SetUp() override {
    if (::unshare(CLONE_NEWNET) != 0) {
      GTEST_SKIP() << "no private network namespace here (unshare: " << std::strerror(errno)
                   << "); run as root to test dead-peer detection";
    }
    ASSERT_EQ(std::system("ip link set lo up"), 0) << "the test needs the ip program (iproute2)";
    // Probes after 1 s of silence, and 1 s for unacknowledged data, in place
    // of a household's 10 s and 15 s; pings every second keep data unacknowledged.
    ServerOptions options;
    options.env[kTestTimingsVariable] = "ping=1,peeridle=1,peerinterval=1,peerprobes=1,peerunacked=1";
    startServer(options);
  }
};

TEST_F(VanishingDevicesTest, StreamsOfDevicesThatVanishedAreEndedWithinAboutAMinute) {
  auto ghosts = openStreams(56);
  ASSERT_EQ(connectionsOnPort(server->port()), 56);
  ASSERT_EQ(std::system("ip link set lo down"), 0);
  const auto start = std::chrono::steady_clock::now();
  const bool noticed = waitUntil([&] { return connectionsOnPort(server->port()) == 0; }, 100s);
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start);
  ASSERT_EQ(std::system("ip link set lo up"), 0);
  EXPECT_TRUE(noticed) << connectionsOnPort(server->port()) << " connections still open after " << seconds.count()
                       << " s";
  EXPECT_LT(seconds.count(), 60);
  EXPECT_LT(seconds.count(), 10);  // by the shortened times: a household's would take 15 s at the least
  // Their places are free again: a new window gets in, by itself.
  BrowserEventSource window(server->port());
  EXPECT_TRUE(window.waitFor(kFullState, 40s)) << window.text();
  ghosts.clear();
}

}  // namespace
