#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>
#include <vector>

#include "server/startup.h"
#include "support/server_process.h"
#include "support/test_timings.h"

namespace {

TEST(Startup, PortComesFromPortVariableThenTheLastPortArgument) {
  struct Case {
    const char* env;
    std::vector<std::string> args;
    long long port;
  } cases[] = {
      {nullptr, {}, 8080},
      {"9000", {"--port", "9100"}, 9100},
      {nullptr, {"--port", "9100", "--port", "9200"}, 9200},
      {"9000", {"--port"}, 9000},
      {nullptr, {"--port"}, 8080},
      {"", {}, 0},
      {"abc", {}, 0},
      {"12ab", {}, 12},
      {" 8081", {}, 8081},
      {nullptr, {"--PORT", "9100"}, 8080},
      {nullptr, {"--port=9100"}, 8080},
      {nullptr, {"--port", "--port", "9000"}, 0},
      {nullptr, {"other", "--port", "+7000", "x"}, 7000},
      {"-5", {}, -5},
  };
  for (const auto& c : cases) {
    std::vector<std::string> arguments{"brimloft"};
    arguments.insert(arguments.end(), c.args.begin(), c.args.end());
    EXPECT_EQ(choosePort(c.env, arguments), c.port) << (c.env ? c.env : "(no PORT)") << " " << c.args.size();
  }
  // Absurdly long numbers stay out of range instead of overflowing.
  EXPECT_GT(choosePort("99999999999999999999999", {"brimloft"}), 65535);
  EXPECT_LT(choosePort("-99999999999999999999999", {"brimloft"}), 0);
}

TEST(Startup, PortTextsReadAsAtoiDoes) {
  // The same reading for PORT and for "--port"; the program refuses what
  // falls outside 0 to 65535 (0 asks the system for a free port).
  struct Case {
    const char* text;
    bool accepted;
    long long port;  // when accepted; when refused, only its sign counts
  } cases[] = {
      {"8080", true, 8080},
      {" 8080", true, 8080},
      {"\t\n8080", true, 8080},
      {"+80", true, 80},
      {"-1", false, -1},
      {"65535", true, 65535},
      {"65536", false, 65536},
      {"0", true, 0},
      {"-0", true, 0},
      {"80x", true, 80},
      {"", true, 0},
      {"abc", true, 0},
      {"+-80", true, 0},
      {"8 080", true, 8},
      {"000080", true, 80},
      {"4294967376", false, 1},
      {"99999999999999999999", false, 1},
      {"-99999999999999999999", false, -1},
  };
  for (const auto& c : cases) {
    for (const long long port :
         {choosePort(c.text, {"brimloft"}), choosePort(nullptr, {"brimloft", "--port", c.text})}) {
      EXPECT_EQ(port >= 0 && port <= 65535, c.accepted) << '"' << c.text << '"' << " read as " << port;
      if (c.accepted) {
        EXPECT_EQ(port, c.port) << c.text;
      } else {
        EXPECT_EQ(port < 0, c.port < 0) << c.text;
      }
    }
  }
}

TEST(Startup, CurlProbeNeedsFiveBytesStartingWithCurl) {
  struct Case {
    std::string output;
    bool ok;
  } cases[] = {
      {"curl", false},
      {"curl 7.88.1 (x86_64-pc-linux-gnu)", true},
      {"sh: 1: curl: not found", false},
      {"", false},
      {"Curl 7", false},
  };
  for (const auto& c : cases) EXPECT_EQ(curlProbeOutputOk(c.output.c_str(), c.output.size()), c.ok) << c.output;
}

// The time-outs configureServer gives the library, read back from it.
struct InspectedServer : HouseholdServer {
  time_t readSeconds() const { return read_timeout_sec_; }
  time_t keepAliveSeconds() const { return keep_alive_timeout_sec_; }
};

TEST(Startup, TheServerTakesItsTimeOutsFromTheTimers) {
  // A household's: 5 s for a kept-alive connection's next request, and the
  // library's own 5 s without a byte of a body.
  InspectedServer household;
  configureServer(household);
  EXPECT_EQ(household.readSeconds(), 5);
  EXPECT_EQ(household.readSeconds(), CPPHTTPLIB_READ_TIMEOUT_SECOND);
  EXPECT_EQ(household.keepAliveSeconds(), 5);
  // The tests' shortened ones reach the server the same way.
  testsupport::ScopedTimings shortened("read=1,keepalive=2");
  InspectedServer tested;
  configureServer(tested);
  EXPECT_EQ(tested.readSeconds(), 1);
  EXPECT_EQ(tested.keepAliveSeconds(), 2);
}

TEST(Startup, BaseFolderIsTheProgramsFolderOnlyWhenItHoldsAppHtml) {
  testsupport::TempFolder folder;
  std::filesystem::path program = folder.path() / "brimloft";
  EXPECT_EQ(chooseBaseDir(program.c_str()), std::filesystem::current_path());
  testsupport::writeFile(folder.path() / "app.html", "<p>app</p>");
  EXPECT_EQ(chooseBaseDir(program.c_str()), folder.path());
  EXPECT_EQ(chooseBaseDir(nullptr), std::filesystem::current_path());
}

}  // namespace

namespace {

// How many of `n` connections to 127.0.0.1:`port`, made at once, the system
// completes within `wait`; nothing accepts them, so each completed one waits
// in the listening socket's queue.
int connectionsQueued(int port, int n, std::chrono::milliseconds wait) {
  std::vector<pollfd> entries;
  for (int i = 0; i < n; ++i) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    entries.push_back(pollfd{fd, POLLOUT, 0});
  }
  std::this_thread::sleep_for(wait);
  ::poll(entries.data(), entries.size(), 0);
  int done = 0;
  for (auto& e : entries) {
    int error = 0;
    socklen_t size = sizeof error;
    if ((e.revents & POLLOUT) && ::getsockopt(e.fd, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0) ++done;
    ::close(e.fd);
  }
  return done;
}

TEST(Startup, TheListeningSocketQueuesABurstOfSixtyConnections) {
  // The library's own queue of 5 let six in and left the rest to retry a second later.
  HouseholdServer server;
  configureServer(server);
  const int port = bindServer(server, "127.0.0.1", 0);
  ASSERT_GT(port, 0);
  EXPECT_EQ(connectionsQueued(port, 60, std::chrono::milliseconds(300)), 60);
}

}  // namespace
