// Loads the real server the way a busy household does and prints the figures:
// how fast one change reaches every open calendar window, how many writes one
// client gets answered per second with and without windows open, and how long
// the whole state of a large calendar takes to fetch, how long a large app
// page takes as a browser asks for it, and what a request with very many
// header lines costs in memory.
//
// Everything talks to 127.0.0.1 over plain sockets, so the figures hold the
// server's own time and as little client overhead as possible. Every wait has
// a time-out and a watchdog ends the program if anything still hangs.
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "support/raw_http.h"
#include "support/server_process.h"

using Clock = std::chrono::steady_clock;
using testsupport::ServerOptions;
using testsupport::ServerProcess;
using testsupport::TempFolder;

namespace {

constexpr int kStreams = 50;
constexpr int kPuts = 2000;
constexpr int kBigItems = 50;
constexpr std::size_t kBigItemBytes = 100 * 1000;
constexpr int kStateGets = 20;
constexpr int kBrowserStateGets = 5;
constexpr int kPageGets = 10;
constexpr int kHeaderLines = 1000000;
// One receive or send that takes longer than this counts as a failure.
constexpr int kSocketTimeoutSeconds = 5;
// The whole program ends by itself after this, whatever state it is in.
constexpr int kWatchdogSeconds = 240;

std::int64_t nowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

double ms(std::int64_t ns) { return static_cast<double>(ns) / 1e6; }

// Nearest-rank percentile of an already sorted list.
std::int64_t percentile(const std::vector<std::int64_t>& sorted, double q) {
  if (sorted.empty()) return 0;
  std::size_t rank = static_cast<std::size_t>(std::ceil(q * static_cast<double>(sorted.size())));
  if (rank < 1) rank = 1;
  return sorted[std::min(rank, sorted.size()) - 1];
}

// ---------------------------------------------------------------------------
// The watchdog: the servers are killed and the program ends if a run takes
// far longer than it ever should.

std::mutex watchedMutex;
std::vector<pid_t> watchedPids;

void watch(pid_t pid) {
  std::lock_guard<std::mutex> lock(watchedMutex);
  watchedPids.push_back(pid);
}

void startWatchdog() {
  std::thread([] {
    std::this_thread::sleep_for(std::chrono::seconds(kWatchdogSeconds));
    std::fprintf(stderr, "server_bench: gave up after %d s\n", kWatchdogSeconds);
    std::lock_guard<std::mutex> lock(watchedMutex);
    for (pid_t pid : watchedPids) ::kill(pid, SIGKILL);
    std::_Exit(2);
  }).detach();
}

// ---------------------------------------------------------------------------
// Sockets

// A loopback connection set up as a browser's: a small request must not wait
// for the previous answer's ACK, and no receive or send waits for ever.
int connectAsBrowser(int port) {
  const int fd = testsupport::connectLoopback(port);
  if (fd < 0) throw std::runtime_error("cannot connect to 127.0.0.1:" + std::to_string(port));
  int yes = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
  timeval tv{kSocketTimeoutSeconds, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  return fd;
}

bool sendAll(int fd, const std::string& bytes) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return false;
    sent += static_cast<std::size_t>(n);
  }
  return true;
}

std::string lowered(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// The value of one header in a lowered header block, or "" when absent.
std::string headerValue(const std::string& loweredHead, const std::string& name) {
  std::size_t at = loweredHead.find("\r\n" + name + ":");
  if (at == std::string::npos) return std::string();
  at += name.size() + 3;
  std::size_t end = loweredHead.find("\r\n", at);
  std::string value = loweredHead.substr(at, end - at);
  value.erase(0, value.find_first_not_of(' '));
  return value;
}

// ---------------------------------------------------------------------------
// One kept-alive client connection. The server closes a connection after 100
// requests and says so in the answer; the next request then opens a new one,
// as a browser's connection pool does.

struct Answer {
  int status = 0;
  std::string head;  // lowered status line and headers
  std::string body;
};

class KeepAliveClient {
 public:
  explicit KeepAliveClient(int port) : port_(port) {}
  ~KeepAliveClient() { disconnect(); }
  KeepAliveClient(const KeepAliveClient&) = delete;
  KeepAliveClient& operator=(const KeepAliveClient&) = delete;

  // Sends one request and reads its whole answer. A request on a reused
  // connection that the server had already closed is sent once more on a new one.
  Answer request(const std::string& method, const std::string& path, const std::string& body = "",
                 const std::string& extraHeaders = "") {
    std::string text = method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + extraHeaders;
    if (method == "PUT" || method == "POST") {
      text += "Content-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) + "\r\n";
    }
    text += "\r\n";
    text += body;
    for (int attempt = 0; attempt < 2; ++attempt) {
      bool reused = fd_ >= 0;
      if (fd_ < 0) connect();
      Answer answer;
      bool gotAnything = false;
      if (sendAll(fd_, text) && readAnswer(answer, gotAnything)) {
        if (headerValue(answer.head, "connection") == "close") disconnect();
        return answer;
      }
      disconnect();
      if (!reused || gotAnything) break;
    }
    throw std::runtime_error(method + " " + path + ": no answer");
  }

  int connections() const { return connections_; }

 private:
  void connect() {
    fd_ = connectAsBrowser(port_);
    buffer_.clear();
    ++connections_;
  }

  void disconnect() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    buffer_.clear();
  }

  bool fill(bool& gotAnything) {
    char chunk[65536];
    ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
    if (n <= 0) return false;
    gotAnything = true;
    buffer_.append(chunk, static_cast<std::size_t>(n));
    return true;
  }

  bool readAnswer(Answer& answer, bool& gotAnything) {
    std::size_t headEnd;
    while ((headEnd = buffer_.find("\r\n\r\n")) == std::string::npos) {
      if (!fill(gotAnything)) return false;
    }
    answer.head = lowered(buffer_.substr(0, headEnd + 2));
    if (answer.head.compare(0, 9, "http/1.1 ") != 0) return false;
    answer.status = std::atoi(answer.head.c_str() + 9);
    // Every answer of this server carries its length; a chunked one would be
    // a change in the server this client should hear about, not silently read.
    std::string length = headerValue(answer.head, "content-length");
    if (length.empty()) throw std::runtime_error("answer without Content-Length");
    std::size_t size = std::stoul(length);
    std::size_t bodyStart = headEnd + 4;
    if (buffer_.capacity() < bodyStart + size) buffer_.reserve(bodyStart + size);
    while (buffer_.size() < bodyStart + size) {
      if (!fill(gotAnything)) return false;
    }
    answer.body = buffer_.substr(bodyStart, size);
    buffer_.erase(0, bodyStart + size);
    return true;
  }

  int port_;
  int fd_ = -1;
  int connections_ = 0;
  std::string buffer_;
};

// ---------------------------------------------------------------------------
// One open event stream on its own connection and thread. It notes, for every
// benchmark change (id "bench-<i>"), when the chunk that carried it arrived.

class StreamReader {
 public:
  StreamReader(int port, int changes, std::int64_t deadlineNs)
      : port_(port), deadlineNs_(deadlineNs), arrivalNs_(static_cast<std::size_t>(changes), -1) {
    thread_ = std::thread([this] { run(); });
  }
  ~StreamReader() { stop(); }
  StreamReader(const StreamReader&) = delete;
  StreamReader& operator=(const StreamReader&) = delete;

  bool ready() const { return ready_.load(std::memory_order_acquire); }
  bool failed() const { return failed_.load(std::memory_order_acquire); }
  int received() const { return received_.load(std::memory_order_acquire); }

  // Closes the connection and joins the thread; only then may the arrival
  // times be read.
  void stop() {
    stopping_.store(true);
    {
      std::lock_guard<std::mutex> lock(fdMutex_);
      if (fd_ >= 0) ::shutdown(fd_, SHUT_RDWR);
    }
    if (thread_.joinable()) thread_.join();
  }

  const std::vector<std::int64_t>& arrivals() const { return arrivalNs_; }
  int fullResends() const { return fullResends_; }
  const std::string& error() const { return error_; }

 private:
  void run() {
    try {
      {
        std::lock_guard<std::mutex> lock(fdMutex_);
        if (stopping_) return;
        fd_ = connectAsBrowser(port_);
      }
      // Short receive time-outs let the thread see stop() and the deadline.
      timeval tv{0, 200 * 1000};
      ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
      if (!sendAll(fd_, "GET /api/stream HTTP/1.1\r\nHost: 127.0.0.1\r\nAccept: text/event-stream\r\n\r\n")) {
        throw std::runtime_error("cannot send the stream request");
      }
      readLoop();
    } catch (const std::exception& e) {
      error_ = e.what();
      failed_.store(true, std::memory_order_release);
    }
    std::lock_guard<std::mutex> lock(fdMutex_);
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

  void readLoop() {
    std::string raw;
    bool headDone = false;
    char chunk[65536];
    while (!stopping_.load()) {
      if (nowNs() > deadlineNs_) throw std::runtime_error("stream deadline passed");
      ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) continue;
      if (n <= 0) {
        if (stopping_.load()) return;
        throw std::runtime_error("stream closed by the server");
      }
      const std::int64_t at = nowNs();
      raw.append(chunk, static_cast<std::size_t>(n));
      if (!headDone) {
        std::size_t end = raw.find("\r\n\r\n");
        if (end == std::string::npos) continue;
        std::string head = lowered(raw.substr(0, end + 2));
        if (head.compare(0, 12, "http/1.1 200") != 0) throw std::runtime_error("stream refused: " + head);
        if (headerValue(head, "transfer-encoding") != "chunked") {
          throw std::runtime_error("stream answer is not chunked");
        }
        raw.erase(0, end + 4);
        headDone = true;
      }
      decodeChunks(raw, at);
    }
  }

  // Takes every whole chunk out of `raw` and every whole message out of the
  // decoded text; `at` is when the bytes arrived.
  void decodeChunks(std::string& raw, std::int64_t at) {
    std::size_t pos = 0;
    for (;;) {
      std::size_t lineEnd = raw.find("\r\n", pos);
      if (lineEnd == std::string::npos) break;
      std::size_t size = std::strtoul(raw.c_str() + pos, nullptr, 16);
      if (size == 0) throw std::runtime_error("stream ended by the server");
      if (raw.size() < lineEnd + 2 + size + 2) break;
      events_.append(raw, lineEnd + 2, size);
      pos = lineEnd + 2 + size + 2;
    }
    raw.erase(0, pos);
    std::size_t start = 0;
    for (std::size_t end; (end = events_.find("\n\n", start)) != std::string::npos; start = end + 2) {
      onMessage(events_.data() + start, end - start, at);
    }
    events_.erase(0, start);
  }

  void onMessage(const char* text, std::size_t size, std::int64_t at) {
    std::string_view message(text, size);
    if (message.empty() || message[0] == ':') return;  // the keep-alive ping
    if (message.find("data: {\"full\":") != std::string_view::npos) {
      if (ready()) ++fullResends_;
      ready_.store(true, std::memory_order_release);
      return;
    }
    // The change's id is its last key: {"coll":..,"data":..,"id":"bench-<i>"}.
    static const std::string_view key = ",\"id\":\"bench-";
    std::size_t at_id = message.rfind(key);
    if (at_id == std::string_view::npos) return;
    long index = std::strtol(text + at_id + key.size(), nullptr, 10);
    if (index < 0 || index >= static_cast<long>(arrivalNs_.size())) return;
    auto& slot = arrivalNs_[static_cast<std::size_t>(index)];
    if (slot < 0) {
      slot = at;
      received_.fetch_add(1, std::memory_order_release);
    }
  }

  int port_;
  std::int64_t deadlineNs_;
  std::vector<std::int64_t> arrivalNs_;
  std::string events_;
  int fullResends_ = 0;
  std::string error_;
  std::mutex fdMutex_;
  int fd_ = -1;
  std::atomic<bool> stopping_{false};
  std::atomic<bool> ready_{false};
  std::atomic<bool> failed_{false};
  std::atomic<int> received_{0};
  std::thread thread_;
};

// ---------------------------------------------------------------------------

struct RunningServer {
  TempFolder folder;
  std::unique_ptr<ServerProcess> process;
  int port = 0;

  RunningServer() {
    ServerOptions options;
    options.folder = folder.path();
    options.args = std::vector<std::string>{"--port", "0"};
    // Another build of the server can be measured against this one.
    if (const char* server = std::getenv("BRIMLOFT_BENCH_SERVER")) options.binary = server;
    process = std::make_unique<ServerProcess>(options);
    watch(process->pid());
    if (!process->waitForBanner(std::chrono::seconds(10)) || process->port() <= 0) {
      throw std::runtime_error("the server did not start:\n" + process->console());
    }
    port = process->port();
  }
  ~RunningServer() { process->kill(); }
};

std::string smallPath(int i) { return "/api/doc/events/bench-" + std::to_string(i); }
std::string smallBody(int i) {
  return "{\"title\":\"event " + std::to_string(i) + "\",\"n\":" + std::to_string(i) + "}";
}

struct PutRun {
  std::vector<std::int64_t> sentNs;
  std::vector<std::int64_t> answeredNs;
  double seconds = 0;
  int connections = 0;
};

// kPuts small writes, one after another, each waiting for its answer.
PutRun putSmallItems(int port) {
  PutRun run;
  run.sentNs.resize(kPuts);
  run.answeredNs.resize(kPuts);
  KeepAliveClient client(port);
  const std::int64_t start = nowNs();
  for (int i = 0; i < kPuts; ++i) {
    const std::string path = smallPath(i), body = smallBody(i);
    run.sentNs[i] = nowNs();
    Answer answer = client.request("PUT", path, body);
    run.answeredNs[i] = nowNs();
    if (answer.status != 200) {
      throw std::runtime_error("PUT " + path + " answered " + std::to_string(answer.status) + ": " + answer.body);
    }
  }
  run.seconds = static_cast<double>(nowNs() - start) / 1e9;
  run.connections = client.connections();
  return run;
}

void printRoundTrips(const PutRun& run) {
  std::vector<std::int64_t> trips;
  for (int i = 0; i < kPuts; ++i) trips.push_back(run.answeredNs[i] - run.sentNs[i]);
  std::sort(trips.begin(), trips.end());
  std::printf("  PUT round trip:       p50 %.3f ms, p99 %.3f ms, max %.3f ms (%d connections)\n",
              ms(percentile(trips, 0.50)), ms(percentile(trips, 0.99)), ms(trips.back()), run.connections);
}

bool benchWithStreams() {
  std::printf("With %d event streams open\n", kStreams);
  RunningServer server;
  const std::int64_t deadline = nowNs() + std::int64_t{120} * 1000000000;
  std::vector<std::unique_ptr<StreamReader>> streams;
  for (int s = 0; s < kStreams; ++s) streams.push_back(std::make_unique<StreamReader>(server.port, kPuts, deadline));
  auto allReady = [&] {
    return std::all_of(streams.begin(), streams.end(), [](auto& r) { return r->ready() || r->failed(); });
  };
  if (!testsupport::waitUntil(allReady, std::chrono::seconds(10)) ||
      std::any_of(streams.begin(), streams.end(), [](auto& r) { return r->failed(); })) {
    for (auto& r : streams) r->stop();
    for (auto& r : streams) {
      if (!r->error().empty()) std::printf("  stream error: %s\n", r->error().c_str());
    }
    std::printf("  not every stream received its first full state\n");
    return false;
  }

  PutRun run = putSmallItems(server.port);
  auto allReceived = [&] {
    return std::all_of(streams.begin(), streams.end(),
                       [](auto& r) { return r->received() == kPuts || r->failed(); });
  };
  bool complete = testsupport::waitUntil(allReceived, std::chrono::seconds(10));
  for (auto& r : streams) r->stop();

  std::vector<std::int64_t> fanout;
  int missing = 0, resends = 0;
  for (int i = 0; i < kPuts; ++i) {
    std::int64_t last = -1;
    bool all = true;
    for (auto& r : streams) {
      std::int64_t at = r->arrivals()[static_cast<std::size_t>(i)];
      if (at < 0) all = false;
      last = std::max(last, at);
    }
    if (all) fanout.push_back(last - run.sentNs[i]);
    else ++missing;
  }
  for (auto& r : streams) {
    resends += r->fullResends();
    if (!r->error().empty()) std::printf("  stream error: %s\n", r->error().c_str());
  }
  std::sort(fanout.begin(), fanout.end());
  const double rate = kPuts / run.seconds;
  std::printf("  fan-out to all %d:    p50 %.3f ms, p99 %.3f ms, max %.3f ms   (target: p99 < 5 ms)\n", kStreams,
              ms(percentile(fanout, 0.50)), ms(percentile(fanout, 0.99)), fanout.empty() ? 0.0 : ms(fanout.back()));
  std::printf("  PUT answers:          %.0f /s over %d PUTs   (target: >= 1500 /s)\n", rate, kPuts);
  printRoundTrips(run);
  if (!complete || missing > 0) std::printf("  changes not seen on every stream: %d\n", missing);
  if (resends > 0) std::printf("  full-state resends (a stream fell behind the change log): %d\n", resends);
  return complete && missing == 0;
}

nlohmann::json bigItem(int i) {
  // Many small values, like a calendar's real items, rather than one long
  // string: writing JSON costs per value much more than per byte.
  nlohmann::json rows = nlohmann::json::array();
  nlohmann::json item = {{"title", "big " + std::to_string(i)}};
  std::size_t size = 40;
  for (int k = 0; size < kBigItemBytes; ++k) {
    nlohmann::json row = {{"k", k}, {"done", k % 3 == 0}, {"text", "row " + std::to_string(k) + " of the long list"}};
    size += row.dump().size() + 1;
    rows.push_back(std::move(row));
  }
  item["rows"] = std::move(rows);
  return item;
}

void printGets(const char* label, const std::vector<std::int64_t>& times, std::size_t size, const std::string& encoding,
               const char* target) {
  std::vector<std::int64_t> sorted = times;
  std::sort(sorted.begin(), sorted.end());
  // The first read after the writes is shown apart: it is the one a window
  // that opens right after a change waits for.
  std::printf("  %s median %.2f ms, max %.2f ms, first %.2f ms, %zu bytes%s%s   %s\n", label,
              ms(percentile(sorted, 0.5)), ms(sorted.back()), ms(times.front()), size, encoding.empty() ? "" : ", encoding ", encoding.c_str(), target);
}

bool benchWithoutStreams() {
  std::printf("With no stream open (a fresh server)\n");
  RunningServer server;
  PutRun run = putSmallItems(server.port);
  std::printf("  PUT answers:          %.0f /s over %d PUTs   (target: >= 5000 /s)\n", kPuts / run.seconds, kPuts);
  printRoundTrips(run);

  std::printf("Whole state of a large calendar (same server)\n");
  KeepAliveClient client(server.port);
  std::vector<std::int64_t> bigPuts;
  std::size_t bigBytes = 0;
  for (int i = 0; i < kBigItems; ++i) {
    std::string body = bigItem(i).dump();
    if (body.size() > 2000000) throw std::runtime_error("big item over the body limit");
    bigBytes += body.size();
    std::int64_t start = nowNs();
    Answer answer = client.request("PUT", "/api/doc/events/big-" + std::to_string(i), body);
    bigPuts.push_back(nowNs() - start);
    if (answer.status != 200) throw std::runtime_error("big PUT answered " + std::to_string(answer.status));
  }
  std::sort(bigPuts.begin(), bigPuts.end());
  std::printf("  %d PUTs of ~%zu KB:   median %.2f ms, max %.2f ms\n", kBigItems, bigBytes / kBigItems / 1000,
              ms(percentile(bigPuts, 0.5)), ms(bigPuts.back()));
  // The saver writes the changed document out within half a second; let it
  // finish so the reads below time the read alone.
  std::this_thread::sleep_for(std::chrono::milliseconds(1200));

  std::vector<std::int64_t> times;
  std::size_t size = 0;
  std::string encoding;
  for (int i = 0; i < kStateGets; ++i) {
    std::int64_t start = nowNs();
    Answer answer = client.request("GET", "/api/state");
    times.push_back(nowNs() - start);
    if (answer.status != 200) throw std::runtime_error("GET /api/state answered " + std::to_string(answer.status));
    size = answer.body.size();
    encoding = headerValue(answer.head, "content-encoding");
  }
  printGets("GET /api/state:      ", times, size, encoding, "(target: < 50 ms)");

  // A browser offers compression; this shows whether the server then spends
  // time compressing the document.
  times.clear();
  for (int i = 0; i < kBrowserStateGets; ++i) {
    std::int64_t start = nowNs();
    Answer answer = client.request("GET", "/api/state", "", "Accept-Encoding: gzip, deflate, br\r\n");
    times.push_back(nowNs() - start);
    if (answer.status != 200) throw std::runtime_error("GET /api/state answered " + std::to_string(answer.status));
    size = answer.body.size();
    encoding = headerValue(answer.head, "content-encoding");
  }
  printGets("  as a browser asks: ", times, size, encoding, "");
  return true;
}


// A web application of about `bytes` bytes: script and markup text, varied
// the way real source is, so that compressing it costs what it would.
std::string appPageText(std::size_t bytes) {
  static const char* const words[] = {"const", "function", "return", "calendar", "event", "member", "render",
                                      "state", "stream", "if", "else", "chores", "meals", "document", "title"};
  std::string text = "<div id=\"app\"></div><script>\n";
  std::uint32_t seed = 12345;
  while (text.size() < bytes) {
    seed = seed * 1103515245u + 12345u;
    text += "  ";
    text += words[(seed >> 8) % 15];
    text += " v" + std::to_string((seed >> 4) % 5000) + " = ";
    text += words[(seed >> 16) % 15];
    text += "(" + std::to_string(seed % 997) + ", \"" + words[(seed >> 20) % 15] + "\");\n";
  }
  return text + "</script>";
}

bool benchAppPage() {
  std::printf("App page of a 750 KB app.html (a fresh server)\n");
  RunningServer server;
  const std::string app = appPageText(750 * 1000);
  std::ofstream(server.folder.path() / "app.html", std::ios::binary) << app;
  KeepAliveClient client(server.port);
  for (const char* offer : {"", "gzip, deflate, br"}) {
    std::vector<std::int64_t> times;
    std::size_t size = 0;
    std::string encoding;
    const std::string headers = *offer ? std::string("Accept-Encoding: ") + offer + "\r\n" : std::string();
    for (int i = 0; i < kPageGets; ++i) {
      std::int64_t start = nowNs();
      Answer answer = client.request("GET", "/", "", headers);
      times.push_back(nowNs() - start);
      if (answer.status != 200) throw std::runtime_error("GET / answered " + std::to_string(answer.status));
      size = answer.body.size();
      encoding = headerValue(answer.head, "content-encoding");
    }
    printGets(*offer ? "GET / as a browser asks:" : "GET /:                  ", times, size, encoding, "");
  }
  return true;
}

// The resident size and its peak, in KiB, from the kernel's view of the process.
std::pair<long, long> residentKiB(pid_t pid) {
  return {testsupport::statusFigure(pid, "VmRSS"), testsupport::statusFigure(pid, "VmHWM")};
}

bool benchHeaderLines() {
  std::printf("One request with %d header lines (a fresh server)\n", kHeaderLines);
  RunningServer server;
  const auto before = residentKiB(server.process->pid());
  int fd = connectAsBrowser(server.port);
  std::string batch;
  std::size_t sent = 0;
  bool ok = sendAll(fd, "GET /api/state HTTP/1.1\r\nHost: 127.0.0.1\r\n");
  for (int i = 0; ok && i < kHeaderLines; ++i) {
    batch += "h" + std::to_string(i) + ": v\r\n";
    if (batch.size() > 65536 || i + 1 == kHeaderLines) {
      ok = sendAll(fd, batch);
      sent += batch.size();
      batch.clear();
    }
  }
  ok = ok && sendAll(fd, "\r\n");
  char reply[64] = {0};
  ok = ok && ::recv(fd, reply, sizeof reply - 1, 0) > 0;
  ::close(fd);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const auto after = residentKiB(server.process->pid());
  std::printf("  %.1f MB of headers: %s; resident %.0f MB before, peak %.0f MB, %.0f MB after\n", sent / 1e6,
              ok ? std::string(reply, std::strcspn(reply, "\r")).c_str() : "no answer", before.first / 1024.0,
              after.second / 1024.0, after.first / 1024.0);
  return ok;
}

}  // namespace

int main() {
  ::signal(SIGPIPE, SIG_IGN);
  startWatchdog();
  const char* measured = std::getenv("BRIMLOFT_BENCH_SERVER");
  std::printf("server_bench: %s\n", measured ? measured : BRIMLOFT_BINARY);
  bool ok = true;
  try {
    ok = benchWithStreams() && ok;
    ok = benchWithoutStreams() && ok;
    ok = benchAppPage() && ok;
    ok = benchHeaderLines() && ok;
  } catch (const std::exception& e) {
    std::printf("server_bench failed: %s\n", e.what());
    return 1;
  }
  return ok ? 0 : 1;
}
