#include "support/running_server.h"

#include <utility>

namespace testsupport {

namespace {

ServerOptions inFolder(const std::filesystem::path& folder, ServerOptions options) {
  options.folder = folder;
  return options;
}

}  // namespace

RunningServer::RunningServer(const std::filesystem::path& folder, ServerOptions options,
                             std::chrono::milliseconds startLimit)
    : ServerProcess(inFolder(folder, std::move(options))) {
  started_ = waitForBanner(startLimit);
  // Made even without a banner, so a test that goes on gets failed requests
  // rather than a crash.
  client_ = newClient();
}

std::unique_ptr<httplib::Client> RunningServer::newClient(int readSeconds) const {
  auto client = std::make_unique<httplib::Client>("127.0.0.1", port());
  client->set_read_timeout(readSeconds, 0);
  return client;
}

void ServerTest::startServer(ServerOptions options) {
  server = std::make_unique<RunningServer>(folder.path(), std::move(options));
  ASSERT_TRUE(server->started()) << server->console();
}

}  // namespace testsupport
