// POSIX versions of the platform operations (Linux, macOS).
#include "platform/platform.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace platform {

FILE* openCommandPipe(const std::string& command) { return ::popen(command.c_str(), "r"); }

bool isSafeInCommandQuotes(const std::string& text) {
  for (char c : text) {
    unsigned char byte = static_cast<unsigned char>(c);
    if (byte < 32 || byte == 127 || c == '"') return false;
    // sh still expands these inside double quotes.
    if (c == '$' || c == '`' || c == '\\') return false;
  }
  return true;
}

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

namespace {

// The UTC offset in effect at `seconds`, with the local time there.
bool offsetAt(std::int64_t seconds, std::int64_t& offset, std::tm& local) {
  if (!secondsToLocalTime(seconds, local)) return false;
  offset = local.tm_gmtoff;
  return true;
}

}  // namespace

bool wallTimeToSeconds(std::int64_t wallSeconds, std::int64_t& seconds, std::tm& local) {
  // No zone is more than 26 hours from UTC, so the instant lies within 30
  // hours of the wall time read as UTC, and a zone changes its offset at
  // most once in so short a time: the offsets at both ends are the offsets
  // before and after any change near the wall time.
  constexpr std::int64_t kReach = 30 * 3600;
  if (wallSeconds < INT64_MIN / 2 || wallSeconds > INT64_MAX / 2) return false;
  std::int64_t before = 0, after = 0, offset = 0;
  if (!offsetAt(wallSeconds - kReach, before, local) || !offsetAt(wallSeconds + kReach, after, local)) return false;
  // The reading with the larger offset is the earlier instant: it is the
  // answer when that instant really has that offset.
  const std::int64_t larger = std::max(before, after);
  seconds = wallSeconds - larger;
  if (!offsetAt(seconds, offset, local)) return false;
  if (offset == larger || before == after) return true;
  // Otherwise the other reading: the only one, or, where the change skipped
  // the wall time, the one with the offset from before the change (the
  // smaller, as clocks that skip go forward).
  seconds = wallSeconds - std::min(before, after);
  return offsetAt(seconds, offset, local);
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

std::vector<std::string> computerNames() {
  std::vector<std::string> names;
  char name[256] = {0};
  if (::gethostname(name, sizeof name - 1) != 0 || name[0] == 0) return names;
  names.emplace_back(name);
  addrinfo hints{};
  hints.ai_flags = AI_CANONNAME;
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (::getaddrinfo(name, nullptr, &hints, &found) == 0) {
    if (found && found->ai_canonname) names.emplace_back(found->ai_canonname);
    ::freeaddrinfo(found);
  }
  return names;
}

// ---- Stopping the program -------------------------------------------------

namespace {

// The self-pipe: the handler writes one byte, waitForStopRequest reads it.
// Signals are caught, not blocked, so that the programs the fetches start
// (curl) begin with the usual dispositions and masks, and a Ctrl-C reaches
// them as it reaches any program.
int stopPipe[2] = {-1, -1};

extern "C" void handOverStopRequest(int signal) {
  // write is async-signal-safe; errno belongs to the interrupted code.
  const int savedErrno = errno;
  const unsigned char byte = static_cast<unsigned char>(signal);
  ssize_t ignored = ::write(stopPipe[1], &byte, 1);  // a full pipe already holds a request
  static_cast<void>(ignored);
  errno = savedErrno;
}

}  // namespace

void catchStopRequests() {
  if (stopPipe[0] >= 0) return;
  if (::pipe2(stopPipe, O_CLOEXEC) != 0) return;  // the signals keep ending the process at once
  ::fcntl(stopPipe[1], F_SETFL, O_NONBLOCK);
  struct sigaction action {};
  action.sa_handler = handOverStopRequest;
  sigemptyset(&action.sa_mask);
  // Interrupted calls go on by themselves (most code has no EINTR handling).
  action.sa_flags = SA_RESTART;
  for (int signal : {SIGINT, SIGHUP, SIGTERM}) {
    struct sigaction previous {};
    if (signal != SIGTERM && ::sigaction(signal, nullptr, &previous) == 0 && previous.sa_handler == SIG_IGN) {
      continue;
    }
    ::sigaction(signal, &action, nullptr);
  }
}

void waitForStopRequest() {
  for (;;) {
    unsigned char byte = 0;
    if (stopPipe[0] >= 0) {
      ssize_t n = ::read(stopPipe[0], &byte, 1);
      if (n == 1) return;
      if (n < 0 && errno == EINTR) continue;
    }
    // No pipe: the stop requests were never caught and end the process themselves.
    ::pause();
  }
}

void endProcess(int exitCode) {
  std::fflush(stdout);
  std::_Exit(exitCode);
}

// ---- Connections of the HTTP server ----------------------------------------

namespace {

void setIntOption(int socket, int level, int name, int value) {
  ::setsockopt(socket, level, name, reinterpret_cast<const void*>(&value), sizeof value);
}

SocketWait waitFor(SocketHandle socket, short events, int milliseconds) {
  pollfd entry{};
  entry.fd = socket;
  entry.events = events;
  for (;;) {
    int n = ::poll(&entry, 1, milliseconds < 0 ? 0 : milliseconds);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return SocketWait::failed;
    if (n == 0) return SocketWait::timedOut;
    // An error or hang-up makes the next receive or send report it.
    return (entry.revents & POLLNVAL) ? SocketWait::failed : SocketWait::ready;
  }
}

// The numeric address and port of one end, read with getpeername or getsockname.
void endAddress(SocketHandle socket, int (*read)(int, sockaddr*, socklen_t*), std::string& ip, int& port) {
  ip.clear();
  port = 0;
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  if (read(socket, reinterpret_cast<sockaddr*>(&address), &length) != 0) return;
  char host[NI_MAXHOST] = {0};
  char service[NI_MAXSERV] = {0};
  if (::getnameinfo(reinterpret_cast<const sockaddr*>(&address), length, host, sizeof host, service,
                    sizeof service, NI_NUMERICHOST | NI_NUMERICSERV) == 0) {
    ip = host;
    port = std::atoi(service);
  }
}

}  // namespace

void prepareConnection(SocketHandle socket, const DeadPeerTimes& times) {
  setIntOption(socket, IPPROTO_TCP, TCP_NODELAY, 1);
  setIntOption(socket, SOL_SOCKET, SO_KEEPALIVE, 1);
#if defined(TCP_KEEPIDLE)
  setIntOption(socket, IPPROTO_TCP, TCP_KEEPIDLE, times.idleSeconds);
#elif defined(TCP_KEEPALIVE)
  // macOS names the idle time TCP_KEEPALIVE.
  setIntOption(socket, IPPROTO_TCP, TCP_KEEPALIVE, times.idleSeconds);
#endif
#if defined(TCP_KEEPINTVL)
  setIntOption(socket, IPPROTO_TCP, TCP_KEEPINTVL, times.intervalSeconds);
#endif
#if defined(TCP_KEEPCNT)
  setIntOption(socket, IPPROTO_TCP, TCP_KEEPCNT, times.probes);
#endif
  // Keep-alive probes only run while nothing waits to be acknowledged; a
  // stream's own writes to a vanished peer need the user time-out to end.
#if defined(TCP_USER_TIMEOUT)
  setIntOption(socket, IPPROTO_TCP, TCP_USER_TIMEOUT, times.unacknowledgedSeconds * 1000);
#elif defined(TCP_RXT_CONNDROPTIME)
  setIntOption(socket, IPPROTO_TCP, TCP_RXT_CONNDROPTIME, times.unacknowledgedSeconds);
#endif
#if defined(SO_NOSIGPIPE)
  setIntOption(socket, SOL_SOCKET, SO_NOSIGPIPE, 1);
#endif
}

SocketWait waitToRead(SocketHandle socket, int milliseconds) { return waitFor(socket, POLLIN, milliseconds); }

SocketWait waitToWrite(SocketHandle socket, int milliseconds) { return waitFor(socket, POLLOUT, milliseconds); }

bool peerHasLeft(SocketHandle socket) {
  pollfd entry{};
  entry.fd = socket;
  entry.events = POLLIN;
  int n = ::poll(&entry, 1, 0);
  if (n <= 0) return n < 0 && errno != EINTR;
  if (entry.revents & (POLLERR | POLLNVAL)) return true;
  char byte;
  long got = ::recv(socket, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
  if (got > 0) return false;
  if (got == 0) return true;
  return errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR;
}

long receiveSome(SocketHandle socket, char* buffer, std::size_t size) {
  for (;;) {
    long n = ::recv(socket, buffer, size, 0);
    if (n < 0 && errno == EINTR) continue;
    return n;
  }
}

long sendSome(SocketHandle socket, const char* data, std::size_t size) {
#if defined(MSG_NOSIGNAL)
  const int flags = MSG_NOSIGNAL;
#else
  const int flags = 0;  // SO_NOSIGPIPE, set in prepareConnection, does the same
#endif
  for (;;) {
    long n = ::send(socket, data, size, flags);
    if (n < 0 && errno == EINTR) continue;
    return n;
  }
}

void prepareListeningSocket(SocketHandle socket) { setIntOption(socket, SOL_SOCKET, SO_REUSEADDR, 1); }

bool widenListenQueue(SocketHandle socket) {
  // Listening again on a listening socket only sets its queue's length; the
  // system cuts a length above its own maximum down to that maximum.
  return ::listen(socket, SOMAXCONN > kListenQueue ? SOMAXCONN : kListenQueue) == 0;
}

long raiseOpenFileLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return -1;
  if (limit.rlim_cur < limit.rlim_max) {
    rlimit raised = limit;
    raised.rlim_cur = limit.rlim_max;
#if defined(__APPLE__)
    // macOS refuses a soft limit above OPEN_MAX, whatever the hard limit says.
    if (raised.rlim_cur > OPEN_MAX) raised.rlim_cur = OPEN_MAX;
#endif
    if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
  }
  return limit.rlim_cur == RLIM_INFINITY ? -1 : static_cast<long>(limit.rlim_cur);
}

void peerAddress(SocketHandle socket, std::string& ip, int& port) { endAddress(socket, ::getpeername, ip, port); }

void localAddress(SocketHandle socket, std::string& ip, int& port) { endAddress(socket, ::getsockname, ip, port); }

void stopSending(SocketHandle socket) { ::shutdown(socket, SHUT_WR); }

void closeConnection(SocketHandle socket) {
  ::shutdown(socket, SHUT_RDWR);
  ::close(socket);
}

void limitMemoryPools(int pools) {
#if defined(__GLIBC__)
  ::mallopt(M_ARENA_MAX, pools);
#else
  static_cast<void>(pools);
#endif
}

}  // namespace platform
