#include "support/server_process.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <regex>
#include <stdexcept>
#include <thread>

#include "text/text_util.h"

extern char** environ;

namespace testsupport {

namespace fs = std::filesystem;

TempFolder::TempFolder() {
  std::random_device rd;
  for (int attempt = 0; attempt < 100; ++attempt) {
    fs::path candidate = fs::temp_directory_path() / ("brimloft-test-" + std::to_string(rd()));
    std::error_code ec;
    if (fs::create_directory(candidate, ec)) {
      path_ = candidate;
      return;
    }
  }
  throw std::runtime_error("cannot create a temporary folder");
}

TempFolder::~TempFolder() {
  std::error_code ec;
  fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ec);
  fs::remove_all(path_, ec);
}

void writeFile(const fs::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

std::string readFile(const fs::path& path) {
  std::string bytes;
  readWholeFile(path, bytes);
  return bytes;
}

ServerProcess::ServerProcess(ServerOptions options) {
  if (options.folder.empty()) throw std::invalid_argument("ServerOptions.folder is required");
  static int counter = 0;
  consolePath_ = fs::temp_directory_path() /
                 ("brimloft-console-" + std::to_string(::getpid()) + "-" + std::to_string(++counter) +
                  "-" + std::to_string(std::random_device{}()) + ".txt");
  // BRIMLOFT_TEST_SERVER runs the tests against another build (an older one,
  // to see a test fail without the change it covers).
  const char* other = std::getenv("BRIMLOFT_TEST_SERVER");
  fs::path binary = !options.binary.empty() ? options.binary : fs::path(other ? other : BRIMLOFT_BINARY);
  std::vector<std::string> args{binary.string()};
  std::vector<std::string> rest = options.args ? *options.args : std::vector<std::string>{"--port", "0"};
  args.insert(args.end(), rest.begin(), rest.end());

  std::map<std::string, std::string> env;
  for (char** e = environ; *e; ++e) {
    const char* eq = std::strchr(*e, '=');
    if (eq) env[std::string(static_cast<const char*>(*e), eq)] = eq + 1;
  }
  env.erase("PORT");
  for (const auto& [key, value] : options.env) {
    if (value) env[key] = *value;
    else env.erase(key);
  }
  if (!options.pathPrefix.empty()) env["PATH"] = options.pathPrefix.string() + ":" + env["PATH"];

  std::vector<std::string> envStrings;
  for (const auto& [key, value] : env) envStrings.push_back(key + "=" + value);
  std::vector<char*> argv, envp;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  for (auto& e : envStrings) envp.push_back(e.data());
  envp.push_back(nullptr);

  int out = ::open(consolePath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (out < 0) throw std::runtime_error("cannot create the console file");
  pid_ = ::fork();
  if (pid_ == 0) {
    ::dup2(out, 1);
    ::dup2(out, 2);
    int devnull = ::open("/dev/null", O_RDONLY);
    if (devnull >= 0) ::dup2(devnull, 0);
    if (::chdir(options.folder.c_str()) != 0) ::_exit(126);
    ::execve(binary.c_str(), argv.data(), envp.data());
    ::_exit(127);
  }
  ::close(out);
  if (pid_ < 0) throw std::runtime_error("fork failed");
}

ServerProcess::~ServerProcess() {
  kill();
  std::error_code ec;
  fs::remove(consolePath_, ec);
}

void ServerProcess::kill() {
  if (pid_ > 0 && !exited_) {
    ::kill(pid_, SIGKILL);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    exited_ = true;
  }
}

std::string ServerProcess::console() const { return readFile(consolePath_); }

bool ServerProcess::waitForConsole(const std::string& text, std::chrono::milliseconds timeout,
                                   int times) const {
  return waitUntil([&] { return countOf(console(), text) >= times; }, timeout);
}

bool ServerProcess::waitForBanner(std::chrono::milliseconds timeout) {
  bool seen = waitUntil(
      [&] {
        if (console().find("Close it to stop the calendar.") != std::string::npos) return true;
        int status = 0;
        if (!exited_ && ::waitpid(pid_, &status, WNOHANG) == pid_) {
          exited_ = true;
          exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        return exited_;
      },
      timeout);
  std::smatch m;
  std::string text = console();
  static const std::regex local("http://localhost:(-?[0-9]+)");
  if (std::regex_search(text, m, local)) port_ = std::stoi(m[1]);
  return seen && text.find("Close it to stop the calendar.") != std::string::npos;
}

int ServerProcess::waitForExit(std::chrono::milliseconds timeout) {
  if (exited_) return exitCode_;
  waitUntil(
      [&] {
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
          exited_ = true;
          exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        return exited_;
      },
      timeout);
  return exited_ ? exitCode_ : -1;
}

long statusFigure(pid_t pid, const std::string& field) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind(field + ":", 0) == 0) return std::stol(line.substr(field.size() + 1));
  }
  return -1;
}

int freeLoopbackPort() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  socklen_t len = sizeof addr;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  int port = ntohs(addr.sin_port);
  ::close(fd);
  return port;
}

}  // namespace testsupport
