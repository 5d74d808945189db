// Start-up order and nothing else: every behaviour lives in the units it calls.
#include <httplib.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "platform/platform.h"
#include "refresh/scheduler.h"
#include "server/change_hub.h"
#include "server/connections.h"
#include "server/console.h"
#include "server/data_file.h"
#include "server/request_origin.h"
#include "server/startup.h"
#include "server/state.h"
#include "server/timings.h"

int main(int argc, char** argv) {
  // With a pool per worker, 64 workers would each keep a large write's memory.
  platform::limitMemoryPools(4);
  // Every connection costs a file descriptor: the usual soft limit of 1,024
  // would refuse connections long before the workers run out.
  platform::raiseOpenFileLimit();
  baseDir = chooseBaseDir(argc > 0 ? argv[0] : nullptr);
  dataFilePath = baseDir / "family-data.json";
  appPagePath = baseDir / "app.html";

  // Only tests set it, to shorten the waits they exercise.
  timings = timingsFromText(std::getenv("BRIMLOFT_TEST_TIMINGS"));
  changeHub.waitLimit = std::chrono::seconds(timings.pingSeconds);

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

  HouseholdServer server;
  configureServer(server);
  // For port 0 the banner shows the port the system picked.
  const int boundPort = bindServer(server, "0.0.0.0", static_cast<int>(port));
  if (boundPort <= 0) {
    printLine("\nPort " + std::to_string(port) + " is busy. The calendar may already be running in another window.\n");
    return 1;
  }

  // From here a Ctrl-C, a closed terminal or a request to end saves first.
  platform::catchStopRequests();

  // Every thread but the pool's starts here (README, "Threads and locks");
  // the pool's start with the accept loop.
  changeHub.startWaker();
  std::thread(saveLoop).detach();
  std::thread(refreshLoop).detach();
  std::thread(stopWhenAsked).detach();

  const std::string address = findNetworkAddress();
  const std::string portText = std::to_string(boundPort);
  setHouseholdAddress(address, boundPort);
  printLine("\n  Brimloft is running!\n");
  printLine("  On this computer:   http://localhost:" + portText);
  if (!address.empty()) {
    printLine("  On your Wi-Fi:      http://" + address + ":" + portText + "   <- type this on the tablet and phones");
  }
  printLine("\n  Leave this window open. Close it to stop the calendar.\n");

  server.listen_after_bind();
  // The accept loop ends only when listening fails. The other threads are
  // never joined: the process ends here without them (a stop request ends it
  // on the stop thread, after the last save).
  std::_Exit(0);
}
