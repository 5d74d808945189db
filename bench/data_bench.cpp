// Prints how the real server copes with large data: how long it takes from
// launch until it answers GET /api/state with a data file of 10,000, 40,000
// and 100,000 ordinary events; how long one PUT of an item of 188,172 empty
// objects (close to the 2,000,000-byte limit) takes to be answered; and how
// much memory the server holds after 100 PUTs of 1.9 MB items, each on a new
// connection and all over one kept-alive connection.
//
//   ./build/data_bench [--only start|put|memory] [other-binary]
//
// With another binary (an older build), every figure is printed for both, in
// the same run; --only runs one of the three parts. Every wait is bounded: a run that passes its bound is printed
// as "more than" that bound.
#include <httplib.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "support/large_items.h"
#include "support/server_process.h"

using Clock = std::chrono::steady_clock;
using testsupport::ServerOptions;
using testsupport::ServerProcess;
using testsupport::TempFolder;
namespace fs = std::filesystem;

namespace {

constexpr int kStartBoundSeconds = 60;
constexpr int kPutBoundSeconds = 60;
constexpr int kBigPuts = 100;
constexpr int kPutRuns = 5;

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// A data file in the saver's own layout, of `count` events like the ones a
// household stores (about 150 bytes each).
std::string dataFileOfEvents(int count) {
  std::string events;
  for (int i = 0; i < count; ++i) {
    if (i) events += ",\n";
    events += "  \"ev" + std::to_string(i) +
              "\": {\n   \"allDay\": false,\n   \"date\": \"2026-03-14\",\n   \"end\": \"10:15\",\n"
              "   \"notes\": \"Bring the blue folder\",\n   \"start\": \"09:30\",\n"
              "   \"title\": \"Dentist for Sam\",\n   \"who\": [\n    \"m1\"\n   ]\n  }";
  }
  return "{\n \"chores\": {},\n \"events\": {\n" + events +
         "\n },\n \"feedEvents\": {},\n \"feeds\": {},\n \"lists\": {},\n \"live\": {},\n \"meals\": {},\n"
         " \"members\": {},\n \"settings\": {}\n}";
}

struct Server {
  TempFolder folder;
  std::unique_ptr<ServerProcess> process;
  int port = 0;

  Server(const fs::path& binary, const std::string& dataFile) {
    if (!dataFile.empty()) {
      std::ofstream(folder.path() / "family-data.json", std::ios::binary) << dataFile;
    }
    port = testsupport::freeLoopbackPort();
    ServerOptions options;
    options.folder = folder.path();
    options.binary = binary;
    options.args = std::vector<std::string>{"--port", std::to_string(port)};
    process = std::make_unique<ServerProcess>(options);
  }
  ~Server() { process->kill(); }

  // Seconds until GET /api/state is answered, or -1 past the bound.
  double secondsUntilAnswered(Clock::time_point launched) {
    httplib::Client client("127.0.0.1", port);
    client.set_connection_timeout(0, 200000);
    client.set_read_timeout(kStartBoundSeconds, 0);
    while (secondsSince(launched) < kStartBoundSeconds) {
      if (auto res = client.Get("/api/state")) return res->status == 200 ? secondsSince(launched) : -1;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return -1;
  }

  // A figure from /proc/<pid>/status in MB ("VmRSS", "VmHWM").
  double memoryMb(const std::string& field) const {
    const long kib = testsupport::statusFigure(process->pid(), field);
    return kib < 0 ? -1 : kib / 1024.0;
  }
};

void printSeconds(const char* label, const std::string& binaryName, double seconds, int bound) {
  if (seconds < 0) {
    std::printf("  %-44s %-6s more than %d s\n", label, binaryName.c_str(), bound);
  } else {
    std::printf("  %-44s %-6s %.3f s\n", label, binaryName.c_str(), seconds);
  }
  std::fflush(stdout);
}

void benchStart(const std::vector<std::pair<std::string, fs::path>>& binaries) {
  std::printf("From launch until GET /api/state is answered   (target: 40,000 events under 1 s)\n");
  for (int count : {10000, 40000, 100000}) {
    const std::string data = dataFileOfEvents(count);
    const std::string label =
        std::to_string(count) + " events (" + std::to_string(data.size() / 100000 / 10.0).substr(0, 4) + " MB)";
    for (const auto& [name, binary] : binaries) {
      Server server(binary, data);
      printSeconds(label.c_str(), name, server.secondsUntilAnswered(Clock::now()), kStartBoundSeconds);
    }
  }
}

void benchManyObjectsPut(const std::vector<std::pair<std::string, fs::path>>& binaries) {
  const std::string body = testsupport::manyEmptyObjects(188172);
  std::printf("One PUT of 188,172 empty objects (%zu bytes) to a fresh server, %d times   (target: answered "
              "under 0.5 s)\n",
              body.size(), kPutRuns);
  for (const auto& [name, binary] : binaries) {
    std::vector<double> times;
    for (int run = 0; run < kPutRuns; ++run) {
      Server server(binary, "");
      if (server.secondsUntilAnswered(Clock::now()) < 0) break;
      httplib::Client client("127.0.0.1", server.port);
      client.set_read_timeout(kPutBoundSeconds, 0);
      auto start = Clock::now();
      auto res = client.Put("/api/doc/events/many", body, "application/json");
      if (!res || res->status != 200) break;
      times.push_back(secondsSince(start));
    }
    if (times.size() < static_cast<std::size_t>(kPutRuns)) {
      printSeconds("answer time", name, -1, kPutBoundSeconds);
      continue;
    }
    std::sort(times.begin(), times.end());
    std::printf("  %-44s %-6s median %.3f s, fastest %.3f s, slowest %.3f s\n", "answer time", name.c_str(),
                times[times.size() / 2], times.front(), times.back());
    std::fflush(stdout);
  }
}

void benchMemory(const std::vector<std::pair<std::string, fs::path>>& binaries) {
  const std::string body = testsupport::groupedItem();
  std::printf("Resident memory after %d PUTs of %.1f MB to one item (peak in brackets)\n", kBigPuts,
              body.size() / 1e6);
  for (bool keepAlive : {false, true}) {
    for (const auto& [name, binary] : binaries) {
      Server server(binary, "");
      if (server.secondsUntilAnswered(Clock::now()) < 0) continue;
      httplib::Client kept("127.0.0.1", server.port);
      kept.set_keep_alive(true);
      kept.set_read_timeout(30, 0);
      int answered = 0;
      auto start = Clock::now();
      for (int i = 0; i < kBigPuts; ++i) {
        if (keepAlive) {
          if (auto res = kept.Put("/api/doc/events/big", body, "application/json")) answered += res->status == 200;
        } else {
          httplib::Client client("127.0.0.1", server.port);
          client.set_read_timeout(30, 0);
          if (auto res = client.Put("/api/doc/events/big", body, "application/json")) answered += res->status == 200;
        }
      }
      double seconds = secondsSince(start);
      std::printf("  %-44s %-6s %.0f MB (%.0f MB), %d answered in %.2f s\n",
                  keepAlive ? "one kept-alive connection" : "a new connection each", name.c_str(),
                  server.memoryMb("VmRSS"), server.memoryMb("VmHWM"), answered, seconds);
      std::fflush(stdout);
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::pair<std::string, fs::path>> binaries{{"this", BRIMLOFT_BINARY}};
  std::string only;
  for (int i = 1; i < argc; ++i) {
    if (std::string(argv[i]) == "--only" && i + 1 < argc) {
      only = argv[++i];
    } else {
      binaries.insert(binaries.begin(), {"other", argv[i]});
    }
  }
  for (const auto& [name, binary] : binaries) std::printf("%-6s %s\n", name.c_str(), binary.c_str());
  try {
    if (only.empty() || only == "start") benchStart(binaries);
    if (only.empty() || only == "put") benchManyObjectsPut(binaries);
    if (only.empty() || only == "memory") benchMemory(binaries);
  } catch (const std::exception& e) {
    std::printf("data_bench failed: %s\n", e.what());
    return 1;
  }
  return 0;
}
