// POSIX versions of the platform operations (Linux, macOS).
#include "platform/platform.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

namespace platform {

FILE* openCommandPipe(const std::string& command) { return ::popen(command.c_str(), "r"); }

int closeCommandPipe(FILE* pipe) {
  int status = ::pclose(pipe);
  if (status == -1) return -1;
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

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

namespace {

// Writes all of `bytes` to `fd`, going on after interruptions.
bool writeAll(int fd, const std::string& bytes) {
  const char* p = bytes.data();
  std::size_t left = bytes.size();
  while (left > 0) {
    ssize_t n = ::write(fd, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += n;
    left -= static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

PrivateFile createPrivateFile(const std::filesystem::path& path, const std::string& bytes) {
  // O_EXCL makes the name ours or fails: an existing file, or a symbolic link
  // even to nowhere, is a clash. O_NOFOLLOW says the same for systems that
  // would follow a link at the last step.
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, S_IRUSR | S_IWUSR);
  if (fd < 0) return errno == EEXIST || errno == ELOOP ? PrivateFile::clash : PrivateFile::failed;
  // The creation mode passes through the umask, which can only take bits away;
  // fchmod makes it exactly owner read and write whatever the umask.
  bool ok = ::fchmod(fd, S_IRUSR | S_IWUSR) == 0 && writeAll(fd, bytes);
  if (::close(fd) != 0) ok = false;
  if (ok) return PrivateFile::created;
  ::unlink(path.c_str());
  return PrivateFile::failed;
}

bool writeFileDurably(const std::filesystem::path& path, const std::string& bytes) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  bool ok = writeAll(fd, bytes);
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

}  // namespace platform
