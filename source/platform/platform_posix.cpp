// POSIX versions of the platform operations (Linux, macOS).
#include "platform/platform.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace platform {

FILE* openCommandPipe(const std::string& command) { return ::popen(command.c_str(), "r"); }

int closeCommandPipe(FILE* pipe) { return ::pclose(pipe); }

std::int64_t localTimeToSeconds(std::tm& tm) {
  return static_cast<std::int64_t>(::mktime(&tm));
}

bool secondsToLocalTime(std::int64_t seconds, std::tm& out) {
  std::time_t t = static_cast<std::time_t>(seconds);
  if (static_cast<std::int64_t>(t) != seconds) return false;
  return ::localtime_r(&t, &out) != nullptr;
}

std::filesystem::path temporaryFolder() {
  std::filesystem::path folder = std::filesystem::temp_directory_path();
  if (!std::filesystem::is_directory(folder)) {
    throw std::filesystem::filesystem_error("temporary folder is not a folder", folder,
                                            std::make_error_code(std::errc::not_a_directory));
  }
  return folder;
}

bool writeFileDurably(const std::filesystem::path& path, const std::string& bytes) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  bool ok = true;
  const char* p = bytes.data();
  std::size_t left = bytes.size();
  while (left > 0) {
    ssize_t n = ::write(fd, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      ok = false;
      break;
    }
    p += n;
    left -= static_cast<std::size_t>(n);
  }
  if (ok && ::fsync(fd) != 0) ok = false;
  if (::close(fd) != 0) ok = false;
  return ok;
}

void syncFolder(const std::filesystem::path& folder) {
  int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

std::string localNetworkAddress() {
  std::string address;
  int sock = ::socket(AF_INET, SOCK_DGRAM, 0);
  if (sock < 0) return address;
  // Connecting a UDP socket sends nothing: it only makes the system pick the
  // interface that leads towards this (documentation-range) public address.
  sockaddr_in target{};
  target.sin_family = AF_INET;
  target.sin_port = htons(80);
  ::inet_pton(AF_INET, "192.0.2.1", &target.sin_addr);
  if (::connect(sock, reinterpret_cast<sockaddr*>(&target), sizeof target) == 0) {
    sockaddr_in local{};
    socklen_t length = sizeof local;
    if (::getsockname(sock, reinterpret_cast<sockaddr*>(&local), &length) == 0) {
      char text[64] = {0};
      if (::inet_ntop(AF_INET, &local.sin_addr, text, sizeof text)) address = text;
    }
  }
  ::close(sock);
  return address;
}

void limitMemoryPools(int pools) {
#if defined(__GLIBC__)
  ::mallopt(M_ARENA_MAX, pools);
#else
  static_cast<void>(pools);
#endif
}

}  // namespace platform
