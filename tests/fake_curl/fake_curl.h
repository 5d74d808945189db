#pragma once
// Drives tests/fake_curl/curl: writes its fixtures and reads back what each
// call received. Every call is numbered from 1 in the order curl was run.
#include <cstdlib>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "support/helpers.h"
#include "support/server_process.h"

namespace fakecurl {

// What the fake answers a url with. A part left out is not written at all;
// every part starts empty, so a test may give only the first few in braces.
struct Answer {
  std::optional<std::string> body{};
  std::optional<std::string> status{};  // no marker at all when absent
  std::optional<std::string> stderrText{};
  std::optional<std::string> delaySeconds{};
  std::optional<std::string> exitCode{};  // 0 when absent
};

class FakeCurl {
 public:
  FakeCurl() {
    std::filesystem::create_directories(fixtures());
    std::filesystem::create_directories(log());
    std::filesystem::create_directories(temp());
  }

  std::filesystem::path fixtures() const { return folder_.path() / "fixtures"; }
  std::filesystem::path log() const { return folder_.path() / "log"; }
  // A temporary folder of its own, so the tests can see what a fetch leaves.
  std::filesystem::path temp() const { return folder_.path() / "tmp"; }

  // Answers `url` (byte for byte) as given; a later answer for the same url
  // replaces the earlier one.
  void answer(const std::string& url, const Answer& a) {
    auto found = slots_.find(url);
    std::filesystem::path dir;
    if (found == slots_.end()) {
      dir = fixtures() / std::to_string(slots_.size() + 1);
      slots_[url] = dir;
    } else {
      dir = found->second;
      std::filesystem::remove_all(dir);
    }
    std::filesystem::create_directories(dir);
    testsupport::writeFile(dir / "url", url);
    if (a.body) testsupport::writeFile(dir / "body", *a.body);
    if (a.status) testsupport::writeFile(dir / "status", *a.status);
    if (a.stderrText) testsupport::writeFile(dir / "stderr", *a.stderrText);
    if (a.delaySeconds) testsupport::writeFile(dir / "delay", *a.delaySeconds);
    if (a.exitCode) testsupport::writeFile(dir / "exit", *a.exitCode);
  }
  void answer(const std::string& url, const std::string& body, const std::string& status) {
    answer(url, Answer{body, status});
  }
  // Calls for `url` (given an answer before) wait from now until release(),
  // 30 s at the most: a fetch held in progress for exactly as long as a test
  // needs it, however slow the machine.
  void hold(const std::string& url) { testsupport::writeFile(slots_.at(url) / "hold", ""); }
  // The calls waiting on hold() answer, and later ones at once.
  void release(const std::string& url) {
    auto found = slots_.find(url);
    if (found != slots_.end()) std::filesystem::remove(found->second / "hold");
  }

  int calls() const {
    int n = 0;
    while (std::filesystem::exists(log() / (std::to_string(n + 1) + ".args"))) ++n;
    return n;
  }
  std::string args(int n) const { return read(n, ".args"); }
  std::string config(int n) const { return read(n, ".cfg"); }
  std::string url(int n) const { return read(n, ".url"); }
  // The configuration file's mode bits in octal, as curl found them ("600").
  std::string mode(int n) const { return read(n, ".mode"); }
  std::vector<std::string> urls() const {
    std::vector<std::string> all;
    for (int n = 1; n <= calls(); ++n) all.push_back(url(n));
    return all;
  }
  void clearLog() {
    std::filesystem::remove_all(log());
    std::filesystem::create_directories(log());
  }

  // Files left in the temporary folder.
  std::vector<std::string> leftovers() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(temp()))
      names.push_back(entry.path().filename().string());
    return names;
  }

  // The environment of a server under test that should use this fake.
  std::map<std::string, std::optional<std::string>> serverEnv() const {
    return {{"FAKE_CURL_FIXTURES", fixtures().string()},
            {"FAKE_CURL_LOG", log().string()},
            {"TMPDIR", temp().string()}};
  }

  // Makes this process run the fake for every fetch, until destruction.
  void installInProcess() {
    const char* path = std::getenv("PATH");
    env_.set("PATH", std::string(BRIMLOFT_FAKE_CURL_DIR) + ":" + (path ? path : "/usr/bin:/bin"));
    for (const auto& [name, value] : serverEnv()) env_.set(name, *value);
  }

 private:
  std::string read(int n, const char* suffix) const {
    return testsupport::readFile(log() / (std::to_string(n) + suffix));
  }

  testsupport::TempFolder folder_;
  testsupport::ScopedEnv env_;  // destroyed first: the folder is still there while it restores
  std::map<std::string, std::filesystem::path> slots_;
};

}  // namespace fakecurl
