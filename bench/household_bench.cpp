// A household of tablets and phones against the real program: N devices,
// each with its event stream and K kept-alive connections on which it reads
// and writes every few seconds, devices arriving and leaving, and a storm of
// reloads. Prints page-load, write and event-delivery percentiles and the
// refusals. BRIMLOFT_BENCH_SERVER names another build to measure instead.
// Every loop is bounded; the whole run takes about a minute and a half.
#include <arpa/inet.h>
#include <fcntl.h>
#include <httplib.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/large_items.h"
#include "support/raw_http.h"
#include "support/server_process.h"

using namespace testsupport;
using Clock = std::chrono::steady_clock;

namespace {

std::int64_t nowUs() {
  return std::chrono::duration_cast<std::chrono::microseconds>(Clock::now().time_since_epoch()).count();
}

struct Samples {
  std::mutex mutex;
  std::vector<double> ms;
  void add(double value) {
    std::lock_guard<std::mutex> lock(mutex);
    ms.push_back(value);
  }
  std::string summary() {
    std::lock_guard<std::mutex> lock(mutex);
    if (ms.empty()) return "none";
    std::sort(ms.begin(), ms.end());
    auto at = [&](double q) { return ms[std::min(ms.size() - 1, static_cast<std::size_t>(q * ms.size()))]; };
    char text[160];
    std::snprintf(text, sizeof text, "p50 %.1f ms, p99 %.1f ms, max %.1f ms (%zu)", at(0.5), at(0.99), ms.back(),
                  ms.size());
    return text;
  }
};

struct Figures {
  Samples pageLoads, writes, reads, events;
  std::atomic<int> refused{0};      // 503 or any other non-200 answer
  std::atomic<int> turnedAway{0};   // a stream that ended at once and asked to retry
  std::atomic<int> failed{0};       // no answer at all
};

// A browser's event source: reconnects after the retry time when a 200
// stream ends, gives up after any other answer. Records each change's
// delivery time from the "sent" stamp the writer put in it.
class DeviceStream {
 public:
  DeviceStream(int port, Figures& figures, Clock::time_point opened)
      : port_(port), figures_(figures), opened_(opened) {
    thread_ = std::thread([this] { run(); });
  }
  ~DeviceStream() { close(); }
  bool hasFullState() const { return full_; }
  void close() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
      if (client_) client_->stop();
    }
    if (thread_.joinable()) thread_.join();
  }

 private:
  void run() {
    for (int attempt = 0; attempt < 50 && !stop_; ++attempt) {
      httplib::Client client("127.0.0.1", port_);
      client.set_read_timeout(60, 0);
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stop_) return;
        client_ = &client;
      }
      int status = 0;
      std::string pending;
      int retryMs = 3000;
      bool sawFull = false;
      auto res = client.Get(
          "/api/stream",
          [&](const httplib::Response& r) {
            status = r.status;
            return true;
          },
          [&](const char* data, std::size_t length) {
            pending.append(data, length);
            for (auto end = pending.find("\n\n"); end != std::string::npos; end = pending.find("\n\n")) {
              std::string message = pending.substr(0, end);
              pending.erase(0, end + 2);
              auto retry = message.find("retry: ");
              if (retry != std::string::npos) retryMs = std::atoi(message.c_str() + retry + 7);
              if (message.find("data: {\"full\":") != std::string::npos) {
                sawFull = true;
                if (!full_.exchange(true)) {
                  figures_.pageLoads.add(std::chrono::duration<double, std::milli>(Clock::now() - opened_).count());
                }
                continue;  // the stamps in the whole state are old ones
              }
              auto sent = message.find("\"sent\":");
              if (sent != std::string::npos) {
                figures_.events.add((nowUs() - std::atoll(message.c_str() + sent + 7)) / 1000.0);
              }
            }
            return !stop_.load();
          });
      {
        std::lock_guard<std::mutex> lock(mutex_);
        client_ = nullptr;
      }
      if (stop_) return;
      if (status == 0) {
        ++figures_.failed;
      } else if (status != 200) {
        ++figures_.refused;
        return;  // an event source never tries again after this
      } else if (!sawFull) {
        ++figures_.turnedAway;
      }
      (void)res;
      for (int waited = 0; waited < retryMs && !stop_; waited += 10) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
    }
  }

  int port_;
  Figures& figures_;
  Clock::time_point opened_;
  std::mutex mutex_;
  httplib::Client* client_ = nullptr;
  std::atomic<bool> stop_{false};
  std::atomic<bool> full_{false};
  std::thread thread_;
};

// One kept-alive connection of a device: every 4 s it writes the device's
// item, and every other time it also reads the whole state.
class DeviceConnection {
 public:
  DeviceConnection(int port, Figures& figures, std::string id) : figures_(figures), id_(std::move(id)) {
    client_ = std::make_unique<httplib::Client>("127.0.0.1", port);
    client_->set_keep_alive(true);
    // As a browser does: no write waits for the previous one's acknowledgement.
    client_->set_tcp_nodelay(true);
    client_->set_read_timeout(60, 0);
    thread_ = std::thread([this] { run(); });
  }
  ~DeviceConnection() {
    stop_ = true;
    client_->stop();
    if (thread_.joinable()) thread_.join();
  }

 private:
  void record(Samples& samples, Clock::time_point start, const httplib::Result& res) {
    if (!res) {
      if (!stop_) ++figures_.failed;
      return;
    }
    if (res->status != 200) ++figures_.refused;
    samples.add(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
  }
  void run() {
    // Spread the devices' rhythms over the period.
    sleepFor(static_cast<int>(std::hash<std::string>()(id_) % 4000));
    for (int round = 0; !stop_ && round < 1000; ++round) {
      auto start = Clock::now();
      std::string body = "{\"title\":\"" + id_ + "\",\"sent\":" + std::to_string(nowUs()) + "}";
      record(figures_.writes, start, client_->Put(("/api/doc/events/" + id_).c_str(), body, "application/json"));
      if (round % 2 == 1 && !stop_) {
        start = Clock::now();
        record(figures_.reads, start, client_->Get("/api/state"));
      }
      sleepFor(4000);
    }
  }
  void sleepFor(int ms) {
    for (int waited = 0; waited < ms && !stop_; waited += 10) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }

  Figures& figures_;
  std::string id_;
  std::unique_ptr<httplib::Client> client_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

struct Device {
  std::unique_ptr<DeviceStream> stream;
  std::vector<std::unique_ptr<DeviceConnection>> connections;
};

// A device arrives: its page, then its stream (the page load ends with the
// stream's full state), then its kept connections.
std::unique_ptr<Device> arrive(int port, Figures& figures, int k, const std::string& name) {
  auto device = std::make_unique<Device>();
  auto start = Clock::now();
  httplib::Client page("127.0.0.1", port);
  page.set_tcp_nodelay(true);
  page.set_read_timeout(10, 0);
  auto res = page.Get("/");
  if (!res) ++figures.failed;
  else if (res->status != 200) ++figures.refused;
  device->stream = std::make_unique<DeviceStream>(port, figures, start);
  for (int i = 0; i < k; ++i) {
    device->connections.push_back(std::make_unique<DeviceConnection>(port, figures, name + "-" + std::to_string(i)));
  }
  return device;
}

struct RunningServer {
  TempFolder folder;
  std::unique_ptr<ServerProcess> process;
  // `binary` null: BRIMLOFT_BENCH_SERVER, or this build's.
  explicit RunningServer(const char* binary = nullptr) {
    writeFile(folder.path() / "app.html", "<main>" + std::string(20000, 'x') + "</main>\n");
    ServerOptions options;
    options.folder = folder.path();
    if (binary == nullptr) binary = std::getenv("BRIMLOFT_BENCH_SERVER");
    if (binary) options.binary = binary;
    process = std::make_unique<ServerProcess>(options);
    if (!process->waitForBanner()) throw std::runtime_error("the server did not start:\n" + process->console());
  }
  ~RunningServer() { process->kill(); }
};

void print(const char* title, Figures& f) {
  std::printf("%s\n", title);
  std::printf("  page load (page and first full state): %s\n", f.pageLoads.summary().c_str());
  std::printf("  write (PUT):                            %s\n", f.writes.summary().c_str());
  std::printf("  read (GET /api/state):                  %s\n", f.reads.summary().c_str());
  std::printf("  event delivery (PUT sent to stream):    %s\n", f.events.summary().c_str());
  std::printf("  refused %d, turned away to retry %d, failed %d\n", f.refused.load(), f.turnedAway.load(),
              f.failed.load());
  std::fflush(stdout);
}

// N devices with K kept connections each for `seconds` on the server at
// `port`; one leaves and a new one arrives every 2 s.
void liveHousehold(int port, Figures& figures, int n, int k, int seconds) {
  std::vector<std::unique_ptr<Device>> devices;
  int next = 0;
  for (; next < n; ++next) devices.push_back(arrive(port, figures, k, "d" + std::to_string(next)));
  const auto end = Clock::now() + std::chrono::seconds(seconds);
  while (Clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::seconds(2));
    devices.erase(devices.begin());
    devices.push_back(arrive(port, figures, k, "d" + std::to_string(next++)));
  }
  // Devices that never got their full state count as failed page loads.
  for (int i = 0; i < 100 && std::any_of(devices.begin(), devices.end(),
                                         [](auto& d) { return !d->stream->hasFullState(); });
       ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  for (auto& d : devices) {
    if (!d->stream->hasFullState()) ++figures.failed;
  }
}

void household(int n, int k, int seconds) {
  RunningServer server;
  Figures figures;
  liveHousehold(server.process->port(), figures, n, k, seconds);
  char title[120];
  std::snprintf(title, sizeof title, "household: %d devices, each one stream and %d kept connections, %d s", n, k,
                seconds);
  print(title, figures);
}

// A quiet household whose 56 windows are reloaded 100 times in 5 s: each
// reload closes a window's stream and opens a new one at once.
void reloadStorm() {
  RunningServer server;
  const int port = server.process->port();
  Figures figures;
  std::vector<std::unique_ptr<DeviceStream>> windows;
  for (int i = 0; i < 56; ++i) windows.push_back(std::make_unique<DeviceStream>(port, figures, Clock::now()));
  for (int i = 0; i < 200 && std::any_of(windows.begin(), windows.end(), [](auto& w) { return !w->hasFullState(); });
       ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  Figures storm;
  for (int i = 0; i < 100; ++i) {
    auto& w = windows[static_cast<std::size_t>(i) % windows.size()];
    w->close();
    w = std::make_unique<DeviceStream>(port, storm, Clock::now());
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  // Give every reopened window time to get in, as a browser would wait.
  for (int i = 0; i < 300 && std::any_of(windows.begin(), windows.end(), [](auto& w) { return !w->hasFullState(); });
       ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  int without = 0;
  for (auto& w : windows) without += w->hasFullState() ? 0 : 1;
  windows.clear();
  print("reload storm: 56 windows, 100 close-and-reopen cycles in 5 s", storm);
  std::printf("  windows left without live updates 15 s later: %d of 56\n", without);
}

// ---- Bursts, shared full states, the pool's size and floods ----------------
// Each case runs the build before these changes (BRIMLOFT_BENCH_BEFORE, when
// given) and this one, one after the other in the same run.

// The system's count of connections dropped because a listen queue was full.
long listenOverflows() {
  std::ifstream netstat("/proc/net/netstat");
  std::string names, values;
  while (std::getline(netstat, names) && std::getline(netstat, values)) {
    if (names.rfind("TcpExt:", 0) != 0) continue;
    std::istringstream n(names), v(values);
    for (std::string name, value; n >> name && v >> value;) {
      if (name == "ListenOverflows") return std::stol(value);
    }
  }
  return -1;
}

// Sends `request` on a new connection and reads until the answer's end
// (`until` seen in it) or 10 s; the milliseconds it took, or -1.
double timedExchange(int port, const std::string& request, const std::string& until) {
  const auto start = Clock::now();
  int fd = connectLoopback(port);
  if (fd < 0) return -1;
  ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
  std::string got;
  char buffer[65536];
  const auto deadline = start + std::chrono::seconds(10);
  double took = -1;
  while (Clock::now() < deadline) {
    pollfd entry{fd, POLLIN, 0};
    if (::poll(&entry, 1, 100) <= 0) continue;
    long n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    got.append(buffer, static_cast<std::size_t>(n));
    if (got.find(until, got.size() < until.size() + n ? 0 : got.size() - until.size() - n) != std::string::npos) {
      took = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
      break;
    }
  }
  ::close(fd);
  return took;
}

struct Build {
  const char* label;
  std::string binary;  // empty: this build
};

std::vector<Build> buildsToCompare() {
  std::vector<Build> builds;
  if (const char* before = std::getenv("BRIMLOFT_BENCH_BEFORE")) builds.push_back({"before", before});
  builds.push_back({"after ", ""});
  return builds;
}

std::unique_ptr<ServerProcess> startBuild(const Build& build, const TempFolder& folder) {
  if (!std::filesystem::exists(folder.path() / "app.html")) {
    writeFile(folder.path() / "app.html", "<main>" + std::string(20000, 'x') + "</main>\n");
  }
  ServerOptions options;
  options.folder = folder.path();
  if (!build.binary.empty()) options.binary = build.binary;
  auto process = std::make_unique<ServerProcess>(options);
  if (!process->waitForBanner(std::chrono::seconds(30))) {
    throw std::runtime_error("the server did not start:\n" + process->console());
  }
  return process;
}

// 60 connections at once, each asking for the state, three times.
void burstOfConnections() {
  for (const Build& build : buildsToCompare()) {
    TempFolder folder;
    auto server = startBuild(build, folder);
    const std::string request = "GET /api/state HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n";
    for (int burst = 0; burst < 3; ++burst) {
      const long overflowsBefore = listenOverflows();
      Samples samples;
      std::atomic<int> unanswered{0};
      std::vector<std::thread> clients;
      for (int i = 0; i < 60; ++i) {
        clients.emplace_back([&] {
          double ms = timedExchange(server->port(), request, "\"settings\"");
          if (ms < 0) {
            ++unanswered;
          } else {
            samples.add(ms);
          }
        });
      }
      for (auto& c : clients) c.join();
      std::fflush(stdout);
      std::printf("  %s burst %d of 60 connections at once: %s, unanswered %d, listen overflows %ld\n", build.label,
                  burst + 1, samples.summary().c_str(), unanswered.load(), listenOverflows() - overflowsBefore);
      std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
    server->kill();
  }
}

// Five items of 1.9 MB (a 9.5 MB state) in the data file; 50 windows open at
// once and read their whole state, then close; three rounds.
void windowsOnALargeState() {
  std::string data = "{\"lists\":{";
  for (int i = 0; i < 5; ++i) data += (i ? ",\"big" : "\"big") + std::to_string(i) + "\":" + groupedItem();
  data += "}}";
  for (const Build& build : buildsToCompare()) {
    TempFolder folder;
    writeFile(folder.path() / "family-data.json", data);
    auto server = startBuild(build, folder);
    const pid_t pid = server->pid();
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const long start = statusFigure(pid, "VmRSS");
    std::printf("  %s resident at start %ld MB (state text %.1f MB)\n", build.label, start / 1024,
                static_cast<double>(data.size()) / 1e6);
    for (int round = 0; round < 3; ++round) {
      Samples samples;
      std::atomic<int> incomplete{0};
      std::vector<int> fds(50, -1);
      std::vector<std::thread> windows;
      for (int i = 0; i < 50; ++i) {
        windows.emplace_back([&, i] {
          const auto begin = Clock::now();
          int fd = connectLoopback(server->port());
          fds[static_cast<std::size_t>(i)] = fd;
          const std::string request = "GET /api/stream HTTP/1.1\r\nHost: x\r\n\r\n";
          if (fd < 0 || ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) < 0) {
            ++incomplete;
            return;
          }
          // The whole state ends with the message's empty line.
          std::size_t total = 0;
          std::string tail;
          std::vector<char> buffer(1 << 20);
          const auto deadline = begin + std::chrono::seconds(60);
          while (Clock::now() < deadline) {
            pollfd entry{fd, POLLIN, 0};
            if (::poll(&entry, 1, 100) <= 0) continue;
            long n = ::recv(fd, buffer.data(), buffer.size(), 0);
            if (n <= 0) break;
            total += static_cast<std::size_t>(n);
            tail = tail.substr(tail.size() > 16 ? tail.size() - 16 : 0) +
                   std::string(buffer.data() + (n > 16 ? n - 16 : 0), static_cast<std::size_t>(std::min(n, 16L)));
            if (total > data.size() && tail.find("}\n\n") != std::string::npos) {
              samples.add(std::chrono::duration<double, std::milli>(Clock::now() - begin).count());
              return;
            }
          }
          ++incomplete;
        });
      }
      for (auto& w : windows) w.join();
      const long peak = statusFigure(pid, "VmHWM");
      for (int fd : fds) {
        if (fd >= 0) ::close(fd);
      }
      std::this_thread::sleep_for(std::chrono::seconds(2));
      std::fflush(stdout);
      std::printf("  %s round %d, 50 windows: whole state in %s, incomplete %d; peak %ld MB, after closing %ld MB\n",
                  build.label, round + 1, samples.summary().c_str(), incomplete.load(), peak / 1024,
                  statusFigure(pid, "VmRSS") / 1024);
    }
    server->kill();
  }
}

// 180 connections that each hold a worker for 5 s (they send nothing), then
// the pool's threads over the next 70 s. Both builds side by side.
void poolAfterABurst() {
  struct Run {
    Build build;
    TempFolder folder;
    std::unique_ptr<ServerProcess> server;
    std::vector<int> fds;
  };
  std::vector<std::unique_ptr<Run>> runs;
  for (const Build& build : buildsToCompare()) {
    auto run = std::make_unique<Run>();
    run->build = build;
    run->server = startBuild(build, run->folder);
    runs.push_back(std::move(run));
  }
  for (auto& run : runs) {
    std::printf("  %s threads at start %ld\n", run->build.label, statusFigure(run->server->pid(), "Threads"));
    for (int i = 0; i < 180; ++i) run->fds.push_back(connectLoopback(run->server->port()));
  }
  std::this_thread::sleep_for(std::chrono::seconds(2));
  for (auto& run : runs) {
    std::printf("  %s threads with 180 silent connections %ld\n", run->build.label,
                statusFigure(run->server->pid(), "Threads"));
    for (int fd : run->fds) ::close(fd);
  }
  for (int waited = 10; waited <= 70; waited += 30) {
    std::this_thread::sleep_for(std::chrono::seconds(waited == 10 ? 8 : 30));
    for (auto& run : runs) {
      std::printf("  %s threads %d s after the burst: %ld\n", run->build.label, waited,
                  statusFigure(run->server->pid(), "Threads"));
    }
  }
  for (auto& run : runs) run->server->kill();
}

// 300 connections from another address (127.0.0.2) that stay idle, and a
// family on 127.0.0.1 loading its page, reading the state and writing.
void familyBesideAFlood() {
  for (const Build& build : buildsToCompare()) {
    TempFolder folder;
    auto server = startBuild(build, folder);
    const int port = server->port();
    std::vector<int> flood;
    for (int i = 0; i < 300; ++i) flood.push_back(connectLoopback(port, 0, "127.0.0.2"));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    Samples pages, reads, writes;
    int failed = 0;
    auto note = [&](Samples& samples, double ms) {
      if (ms < 0) {
        ++failed;
      } else {
        samples.add(ms);
      }
    };
    const std::string body = "{\"title\":\"x\"}";
    for (int i = 0; i < 30; ++i) {
      note(pages, timedExchange(port, "GET / HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n", "</html>"));
      note(reads,
           timedExchange(port, "GET /api/state HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n", "\"settings\""));
      note(writes, timedExchange(port,
                                 "PUT /api/doc/events/e" + std::to_string(i) +
                                     " HTTP/1.1\r\nHost: x\r\nConnection: close\r\nContent-Type: application/json\r\n"
                                     "Content-Length: " +
                                     std::to_string(body.size()) + "\r\n\r\n" + body,
                                 "{\"ok\":true}"));
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    for (int fd : flood) {
      if (fd >= 0) ::close(fd);
    }
    std::printf(
        "  %s 300 idle connections from 127.0.0.2 (%zu connected):\n    page %s\n    state %s\n    write %s\n"
        "    unanswered %d\n",
        build.label,
        static_cast<std::size_t>(std::count_if(flood.begin(), flood.end(), [](int fd) { return fd >= 0; })),
        pages.summary().c_str(), reads.summary().c_str(), writes.summary().c_str(), failed);
    server->kill();
  }
}

// All four cases, or only the one named ("burst", "windows", "flood", "pool").
void connectionCases(const std::string& only) {
  const struct {
    const char* name;
    const char* title;
    void (*run)();
  } cases[] = {{"burst", "bursts of connections", burstOfConnections},
               {"windows", "windows opening on a 9.5 MB state", windowsOnALargeState},
               {"flood", "family beside a flood", familyBesideAFlood},
               {"pool", "the pool's threads after a burst", poolAfterABurst}};
  for (const auto& c : cases) {
    if (!only.empty() && only != c.name) continue;
    std::printf("%s\n", c.title);
    std::fflush(stdout);
    c.run();
    std::fflush(stdout);
  }
}

// ---- The household beside dishonest clients --------------------------------

enum class Dishonest { expectDrip, headerFlood };

// Connections that hold the server's workers on purpose, each opened again as
// soon as the server ends it: `expectDrip` sends a PUT head with "Expect:
// 100-continue" and then its body a byte every 4 s; `headerFlood` sends header
// lines without end at 64 KiB/s.
class DishonestClients {
 public:
  DishonestClients(int port, Dishonest kind, int count) : port_(port), kind_(kind), fds_(count, -1) {
    thread_ = std::thread([this] { run(); });
  }
  ~DishonestClients() {
    stop_ = true;
    thread_.join();
    for (int fd : fds_) {
      if (fd >= 0) ::close(fd);
    }
  }
  int reopened() const { return reopened_; }

 private:
  void open(int& fd) {
    if (fd >= 0) {
      ::close(fd);
      ++reopened_;
    }
    // From another address of this computer: a device of its own, beside the household's.
    fd = connectLoopback(port_, 0, "127.0.0.2");
    if (fd < 0) return;
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    const std::string head = kind_ == Dishonest::expectDrip
                                 ? "PUT /api/doc/events/drip HTTP/1.1\r\nHost: x\r\nContent-Length: 100000\r\n"
                                   "Expect: 100-continue\r\n\r\n"
                                 : "GET /api/state HTTP/1.1\r\nHost: x\r\n";
    ::send(fd, head.data(), head.size(), MSG_NOSIGNAL);
    // The listening socket's queue holds 5 connections: opened faster than the
    // server accepts them, connects wait seconds for a second try.
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  // Reads what the server sent; false once it ended the connection.
  static bool stillOpen(int fd) {
    char buffer[4096];
    for (;;) {
      long n = ::recv(fd, buffer, sizeof buffer, 0);
      if (n > 0) continue;
      return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
    }
  }
  void run() {
    for (int& fd : fds_) open(fd);
    const std::string line = "X-Flood: " + std::string(1014, 'f') + "\r\n";  // 1 KiB
    // A tick every 250 ms: the drip sends to a sixteenth of its connections
    // (each every 4 s), the flood 16 KiB on each.
    for (std::size_t tick = 0; !stop_; ++tick) {
      for (std::size_t i = 0; i < fds_.size(); ++i) {
        if (fds_[i] < 0 || !stillOpen(fds_[i])) {
          open(fds_[i]);
          continue;
        }
        if (kind_ == Dishonest::expectDrip) {
          if (i % 16 == tick % 16) ::send(fds_[i], "x", 1, MSG_NOSIGNAL);
        } else {
          for (int k = 0; k < 16; ++k) ::send(fds_[i], line.data(), line.size(), MSG_NOSIGNAL);
        }
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(250));
    }
  }

  int port_;
  Dishonest kind_;
  std::vector<int> fds_;
  std::atomic<bool> stop_{false};
  std::atomic<int> reopened_{0};
  std::thread thread_;
};

// The household of 20 devices (one stream and 2 kept connections each, one
// leaving and one arriving every 2 s) while `count` dishonest clients run.
void householdBesideDishonestClients(const char* binary, Dishonest kind, int count, int seconds) {
  RunningServer server(binary);
  const int port = server.process->port();
  Figures figures;
  DishonestClients dishonest(port, kind, count);
  std::this_thread::sleep_for(std::chrono::seconds(2));
  liveHousehold(port, figures, 20, 2, seconds);
  const long peak = peakMemoryKiB(server.process->pid());
  char title[200];
  std::snprintf(title, sizeof title, "household of 20 devices beside %d %s, %d s (%s)", count,
                kind == Dishonest::expectDrip ? "expect-drip connections" : "header floods", seconds,
                binary ? binary : "this build");
  print(title, figures);
  std::printf("  dishonest connections ended by the server and opened again: %d; server peak resident size %ld MiB\n",
              dishonest.reopened(), peak / 1024);
}

}  // namespace

int main(int argc, char** argv) {
  ::signal(SIGPIPE, SIG_IGN);
  const char* other = std::getenv("BRIMLOFT_BENCH_SERVER");
  std::printf("household_bench: %s\n", other ? other : BRIMLOFT_BINARY);
  // "connections" runs only the burst, shared-state, flood and pool cases (a
  // further argument names one of them); "dishonest" as the second argument
  // runs only the rows with dishonest clients.
  const bool connectionsOnly = argc > 1 && std::string(argv[1]) == "connections";
  const int seconds = argc > 1 && !connectionsOnly ? std::max(5, std::atoi(argv[1])) : 20;
  const bool onlyDishonest = !connectionsOnly && argc > 2 && std::string(argv[2]) == "dishonest";
  try {
    if (connectionsOnly) {
      connectionCases(argc > 2 ? argv[2] : "");
      return 0;
    }
    if (!onlyDishonest) {
      household(20, 2, seconds);
      household(20, 3, seconds);
      reloadStorm();
      connectionCases("");
    }
    // BRIMLOFT_BENCH_BEFORE names an older build to measure beside this one in the same run.
    const char* before = std::getenv("BRIMLOFT_BENCH_BEFORE");
    std::vector<const char*> binaries;
    if (before) binaries.push_back(before);
    binaries.push_back(other);  // null: this build
    for (const char* binary : binaries) {
      householdBesideDishonestClients(binary, Dishonest::expectDrip, 200, seconds);
      householdBesideDishonestClients(binary, Dishonest::headerFlood, 20, seconds);
    }
  } catch (const std::exception& e) {
    std::printf("household_bench failed: %s\n", e.what());
    return 1;
  }
  return 0;
}
