#include "support/raw_http.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace testsupport {

std::string RawAnswer::header(const std::string& name) const {
  auto it = headers.find(name);
  return it == headers.end() ? std::string() : it->second;
}

int connectLoopback(int port, int receiveBuffer, const char* from) {
  // Not passed on to the servers the tests start while it is open.
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (receiveBuffer > 0) ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
  if (from) {
    sockaddr_in local{};
    local.sin_family = AF_INET;
    if (::inet_pton(AF_INET, from, &local.sin_addr) != 1 ||
        ::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
      ::close(fd);
      return -1;
    }
  }
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

RawConnection::RawConnection(int port, const char* from) : fd_(connectLoopback(port, 0, from)) {}

RawConnection::~RawConnection() {
  if (fd_ >= 0) ::close(fd_);
}

bool RawConnection::send(const std::string& bytes) {
  std::size_t sent = 0;
  while (fd_ >= 0 && sent < bytes.size()) {
    // MSG_NOSIGNAL: a server that has closed must not end the test program.
    ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return false;
    sent += static_cast<std::size_t>(n);
  }
  return fd_ >= 0;
}

void RawConnection::shutdownWrite() {
  if (fd_ >= 0) ::shutdown(fd_, SHUT_WR);
}

bool RawConnection::receive(std::chrono::steady_clock::time_point deadline) {
  if (fd_ < 0 || closed_) return false;
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  pollfd p{fd_, POLLIN, 0};
  if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
  char chunk[65536];
  ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
  if (n <= 0) {
    closed_ = true;
    return false;
  }
  buffer_.append(chunk, static_cast<std::size_t>(n));
  return true;
}

std::optional<RawAnswer> RawConnection::readHead(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::size_t end;
  while ((end = buffer_.find("\r\n\r\n")) == std::string::npos) {
    if (!receive(deadline)) return std::nullopt;
  }
  const std::string head = buffer_.substr(0, end + 2);
  buffer_.erase(0, end + 4);
  RawAnswer answer;
  std::size_t lineEnd = head.find("\r\n");
  const std::string statusLine = head.substr(0, lineEnd);
  if (statusLine.rfind("HTTP/1.1 ", 0) != 0) return std::nullopt;
  answer.status = std::atoi(statusLine.c_str() + 9);
  for (std::size_t at = lineEnd + 2; at < head.size();) {
    std::size_t next = head.find("\r\n", at);
    const std::string line = head.substr(at, next - at);
    std::size_t colon = line.find(':');
    if (colon != std::string::npos) {
      std::size_t value = line.find_first_not_of(' ', colon + 1);
      answer.headers.emplace(line.substr(0, colon), value == std::string::npos ? "" : line.substr(value));
    }
    at = next + 2;
  }
  return answer;
}

std::optional<RawAnswer> RawConnection::readAnswer(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  auto answer = readHead(timeout);
  if (!answer) return std::nullopt;
  const std::string length = answer->header("Content-Length");
  const std::size_t size = length.empty() ? 0 : std::stoul(length);
  while (buffer_.size() < size) {
    if (!receive(deadline)) return std::nullopt;
  }
  answer->body = buffer_.substr(0, size);
  buffer_.erase(0, size);
  return answer;
}

bool RawConnection::readUntilClosed(std::string& received, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (receive(deadline)) {
  }
  received += buffer_;
  buffer_.clear();
  return closed_;
}

bool RawConnection::readUntilItHolds(std::string& received, const std::string& needle,
                                     std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (buffer_.find(needle) == std::string::npos && receive(deadline)) {
  }
  const bool holds = buffer_.find(needle) != std::string::npos;
  received += buffer_;
  buffer_.clear();
  return holds;
}

bool RawConnection::takesAnotherRequest(std::chrono::milliseconds timeout) {
  if (!send("GET /api/state HTTP/1.1\r\nHost: x\r\n\r\n")) return false;
  return readAnswer(timeout).has_value();
}

}  // namespace testsupport
