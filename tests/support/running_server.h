#pragma once
// The real program started for an end-to-end test and waited for: its banner
// seen, and a client for it. Each test still gives its own options (a fake
// curl first on PATH, environment, files in the folder before the start).
#include <gtest/gtest.h>
#include <httplib.h>

#include <chrono>
#include <filesystem>
#include <memory>

#include "support/server_process.h"

namespace testsupport {

class RunningServer : public ServerProcess {
 public:
  // Starts the program in `folder` (options.folder is set to it) and waits up
  // to `startLimit` for its banner; see started() for whether it came.
  RunningServer(const std::filesystem::path& folder, ServerOptions options = {},
                std::chrono::milliseconds startLimit = std::chrono::seconds(10));

  // Whether the whole banner was printed within the start limit.
  bool started() const { return started_; }
  // A client kept for the whole test, on 127.0.0.1 at the banner's port,
  // with a read time-out of 10 s.
  httplib::Client& client() { return *client_; }
  // A client of its own, as another device would open.
  std::unique_ptr<httplib::Client> newClient(int readSeconds = 10) const;

 private:
  bool started_ = false;
  std::unique_ptr<httplib::Client> client_;
};

// A test with the real program running in a temporary folder of its own.
class ServerTest : public ::testing::Test {
 protected:
  // Starts the server in `folder`; the test stops if no banner comes.
  void startServer(ServerOptions options = {});
  httplib::Client& client() { return server->client(); }

  TempFolder folder;
  std::unique_ptr<RunningServer> server;
};

}  // namespace testsupport
