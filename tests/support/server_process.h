#pragma once
// Runs the real brimloft binary for end-to-end tests: in a temporary folder,
// on a loopback port it picks itself (--port 0, read back from the banner),
// with its console captured to a file. Every wait is bounded.
#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "support/helpers.h"

namespace testsupport {

// A fresh folder under the system's temporary folder, removed on destruction.
class TempFolder {
 public:
  TempFolder();
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

void writeFile(const std::filesystem::path& path, const std::string& bytes);
// The whole file; empty when it is missing or unreadable.
std::string readFile(const std::filesystem::path& path);

struct ServerOptions {
  // Folder the server starts in (its current folder). Required.
  std::filesystem::path folder;
  // Program to run; the built brimloft binary when empty.
  std::filesystem::path binary;
  // Arguments after argument 0. When nullopt: {"--port", "0"}.
  std::optional<std::vector<std::string>> args;
  // Environment changes: a value sets the variable, nullopt removes it.
  // PORT is removed unless given here.
  std::map<std::string, std::optional<std::string>> env;
  // Folder put first on PATH (a fake curl), when not empty.
  std::filesystem::path pathPrefix;
};

class ServerProcess {
 public:
  explicit ServerProcess(ServerOptions options);
  ~ServerProcess();  // kills the process if it still runs
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;

  // Waits until the banner's last line; false on time-out or early exit.
  bool waitForBanner(std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // The port from the banner's "http://localhost:" line (0 when not seen yet).
  int port() const { return port_; }
  // Everything the program printed so far.
  std::string console() const;
  // Waits until the console holds `text`, counted `times` times.
  bool waitForConsole(const std::string& text, std::chrono::milliseconds timeout,
                      int times = 1) const;
  // Waits for the process to end; its exit code, or -1 on time-out or signal.
  int waitForExit(std::chrono::milliseconds timeout = std::chrono::seconds(10));
  void kill();
  pid_t pid() const { return pid_; }

 private:
  std::filesystem::path consolePath_;
  pid_t pid_ = -1;
  int port_ = 0;
  int exitCode_ = -1;
  bool exited_ = false;
};

// One figure of process `pid` from /proc/<pid>/status: "VmRSS" (resident now)
// and "VmHWM" (the most it has held at once) in KiB, "Threads" a count; -1
// when unknown.
long statusFigure(pid_t pid, const std::string& field);
// The most memory process `pid` has held at once (VmHWM), in KiB; -1 when unknown.
inline long peakMemoryKiB(pid_t pid) { return statusFigure(pid, "VmHWM"); }

// A port that was free a moment ago on 127.0.0.1.
int freeLoopbackPort();

}  // namespace testsupport
