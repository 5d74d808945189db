#pragma once
// One loopback connection that sends bytes exactly as given and reads the
// answers as they come: for requests that an HTTP client library would not
// send (bodies that stop short, declared lengths that never arrive), and for
// seeing whether the server ends the connection. Every wait is bounded.
#include <httplib.h>

#include <chrono>
#include <optional>
#include <string>

namespace testsupport {

// A plain TCP connection to 127.0.0.1:`port`, or -1. A `receiveBuffer`
// above 0 is set before connecting, as on a slow link with a small window.
// `from` names the loopback address it comes from (127.0.0.2 stands for
// another device of the household); the system picks one when null.
int connectLoopback(int port, int receiveBuffer = 0, const char* from = nullptr);

struct RawAnswer {
  int status = 0;
  httplib::Headers headers;
  std::string body;  // as many bytes as its Content-Length says; none without one
  std::string header(const std::string& name) const;
};

class RawConnection {
 public:
  explicit RawConnection(int port, const char* from = nullptr);
  ~RawConnection();
  RawConnection(const RawConnection&) = delete;
  RawConnection& operator=(const RawConnection&) = delete;

  bool connected() const { return fd_ >= 0; }
  // Sends all of `bytes`; false once the server takes no more.
  bool send(const std::string& bytes);
  // Ends what this side sends: the server reads the end of the stream.
  void shutdownWrite();
  // The status line and headers of the next answer.
  std::optional<RawAnswer> readHead(std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // The next answer, with its body when it gives a Content-Length.
  std::optional<RawAnswer> readAnswer(std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // Whatever arrives until the server closes, or until the time-out; true
  // when the server closed (end of stream or reset).
  bool readUntilClosed(std::string& received, std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // Whatever arrives until what this call reads (with the bytes pending)
  // holds `needle`, the server closes, or the time-out; true when it holds
  // `needle`. For an answer that never ends, such as an event stream.
  bool readUntilItHolds(std::string& received, const std::string& needle,
                        std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // Sends one more request and waits for its answer: false when the server
  // ended the connection instead of taking it.
  bool takesAnotherRequest(std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // Bytes received but not yet read as part of an answer.
  const std::string& pending() const { return buffer_; }

 private:
  // Adds what arrives within `timeout` to the buffer: false at the end of the
  // stream, on a reset, or when nothing came.
  bool receive(std::chrono::steady_clock::time_point deadline);
  int fd_ = -1;
  bool closed_ = false;
  std::string buffer_;
};

}  // namespace testsupport
