#include "server/startup.h"

#include <cstdint>
#include <cstring>

#include "platform/platform.h"
#include "server/routes.h"
#include "server/timings.h"
#include "text/text_util.h"

namespace fs = std::filesystem;

// A port text is read as atoi reads it; a number too long for any integer
// stops growing here, far above the largest port, so it is still refused.
constexpr std::int64_t kPortReadingLimit = 100000000000000000;

fs::path chooseBaseDir(const char* argument0) {
  std::error_code ec;
  fs::path program = fs::absolute(argument0 ? fs::path(argument0) : fs::path("."), ec);
  if (ec) program.clear();
  fs::path ownFolder = program.parent_path();
  if (!ownFolder.empty() && fs::exists(ownFolder / "app.html", ec)) return ownFolder;
  fs::path current = fs::current_path(ec);
  return ec ? fs::path(".") : current;
}

long long choosePort(const char* portVariable, const std::vector<std::string>& arguments) {
  long long port = portVariable ? readLeadingInteger(portVariable, kPortReadingLimit) : 8080;
  for (std::size_t i = 1; i + 1 < arguments.size(); ++i) {
    if (arguments[i] == "--port") {
      port = readLeadingInteger(arguments[i + 1], kPortReadingLimit);
      ++i;
    }
  }
  return port;
}

bool curlProbeOutputOk(const char* buffer, std::size_t bytesRead) {
  if (bytesRead < 5) return false;
  return std::strncmp(buffer, "curl", 4) == 0;
}

bool probeCurl() {
  FILE* pipe = platform::openCommandPipe("curl --version 2>&1");
  if (!pipe) return false;
  char buffer[64] = {0};
  std::size_t n = std::fread(buffer, 1, 63, pipe);
  platform::closeCommandPipe(pipe);
  return curlProbeOutputOk(buffer, n);
}

std::string findNetworkAddress() {
  std::string address = platform::localNetworkAddress();
  if (address == "0.0.0.0") address.clear();
  return address;
}

void configureServer(HouseholdServer& server) {
  // The library's own keep-alive count is fixed when it is built, so it is set here.
  server.set_keep_alive_max_count(100);
  server.set_keep_alive_timeout(timings.keepAliveSeconds);
  // The library's own read time-out, which a household keeps; named here so
  // that tests can shorten it.
  server.set_read_timeout(timings.readSeconds, 0);
  // Without this every answer on a kept-alive connection waits for the
  // browser's delayed acknowledgement.
  server.set_tcp_nodelay(true);
  server.set_payload_max_length(kMaxRequestBodyBytes);
  registerRoutes(server);
}

int bindServer(httplib::Server& server, const std::string& host, int port) {
  // The library listens with a queue of 5 connections and keeps its socket to
  // itself; the options step hands the socket over, so that the queue can be
  // widened once the library listens.
  socket_t listening = INVALID_SOCKET;
  server.set_socket_options([&listening](socket_t sock) {
    platform::prepareListeningSocket(sock);
    listening = sock;
  });
  const int bound = port == 0 ? server.bind_to_any_port(host) : server.bind_to_port(host, port) ? port : -1;
  server.set_socket_options(platform::prepareListeningSocket);
  if (bound > 0 && listening != INVALID_SOCKET) platform::widenListenQueue(listening);
  return bound;
}
