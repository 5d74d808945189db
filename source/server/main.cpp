// Start-up order and nothing else: every behaviour lives in the units it calls.
#include <httplib.h>

#include <cstdlib>
#include <thread>

#include "platform/platform.h"
#include "refresh/scheduler.h"
#include "server/connections.h"
#include "server/console.h"
#include "server/data_file.h"
#include "server/routes.h"
#include "server/startup.h"
#include "server/state.h"

int main(int argc, char** argv) {
  // With a pool per worker, 64 workers would each keep a large write's memory.
  platform::limitMemoryPools(4);
  baseDir = chooseBaseDir(argc > 0 ? argv[0] : nullptr);
  dataFilePath = baseDir / "family-data.json";
  appPagePath = baseDir / "app.html";

  std::vector<std::string> arguments(argv, argv + (argc > 0 ? argc : 0));
  const long long port = choosePort(std::getenv("PORT"), arguments);

  resetStateSections();
  loadDataFile();

  if (!probeCurl()) {
    printLine(
        "\n  Note: the \"curl\" program was not found, so weather and linked calendars can't update.\n"
        "  Windows 10/11 and Macs already have it. On Linux run: sudo apt install curl\n");
  }

  if (port < 0 || port > 65535) {
    printLine("\nPort " + std::to_string(port) + " is not a port number. Choose one from 1 to 65535.\n");
    return 1;
  }

  // Its own pool of workers, keep-alive loop and dead-peer detection
  // (server/connections.h); the keep-alive count is fixed when the library is
  // built, so it is set here.
  HouseholdServer server;
  server.set_keep_alive_max_count(100);
  // Without this every answer on a kept-alive connection waits for the
  // browser's delayed acknowledgement.
  server.set_tcp_nodelay(true);
  // Reuse the address, but never share the port: a second copy of the program
  // must find the port busy instead of serving (and saving) beside the first.
  server.set_socket_options(platform::prepareListeningSocket);
  server.set_payload_max_length(kMaxRequestBodyBytes);
  registerRoutes(server);

  int boundPort = static_cast<int>(port);
  bool bound = false;
  if (port == 0) {
    // Port 0 asks the system for any free port; the banner then shows which.
    boundPort = server.bind_to_any_port("0.0.0.0");
    bound = boundPort > 0;
  } else {
    bound = server.bind_to_port("0.0.0.0", boundPort);
  }
  if (!bound) {
    printLine("\nPort " + std::to_string(port) + " is busy. The calendar may already be running in another window.\n");
    return 1;
  }

  std::thread(saveLoop).detach();
  std::thread(refreshLoop).detach();

  const std::string address = findNetworkAddress();
  const std::string portText = std::to_string(boundPort);
  printLine("\n  Brimloft is running!\n");
  printLine("  On this computer:   http://localhost:" + portText);
  if (!address.empty()) {
    printLine("  On your Wi-Fi:      http://" + address + ":" + portText + "   <- type this on the tablet and phones");
  }
  printLine("\n  Leave this window open. Close it to stop the calendar.\n");

  server.listen_after_bind();
  // No orderly shutdown exists: the saver and scheduler threads are detached
  // and the process ends here without joining them.
  std::_Exit(0);
}
