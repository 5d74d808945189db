#include "refresh/fetch.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <random>
#include <system_error>

#include "platform/platform.h"
#include "server/timings.h"
#include "text/text_util.h"

const char* const kStatusMarker = "\n__BRIMLOFT_STATUS__";

namespace {

// curl's --max-filesize refuses only downloads whose size is announced
// before they start (curl 7.88, as Debian 12 ships it, lets an answer
// without a length run past it), so a site that streams could fill memory
// for the whole of its time limit. Past the limit plus room for the status marker
// and curl's own messages, the reading stops and the download is refused.
const std::size_t kMaxOutputBytes = 20000000 + 65536;
const char* const kTooLargeMessage = "The download is larger than 20 MB, too large to use.";
const char* const kCutOffMessage = "The download was cut off before it was complete. Try again later.";
const char* const kUnreachableMessage = "Could not reach the website. Check the internet connection.";

// curl's exit codes for the failures a family can act on.
const int kCurlPartialFile = 18;   // the site closed the connection before the whole answer came
const int kCurlTimedOut = 28;      // --max-time ran out
const int kCurlFileTooLarge = 63;  // the announced size is above --max-filesize

const char* const kNoConfigFileMessage =
    "Could not create a temporary file for curl. Check that the temporary folder can be written to.";

const int kConfigNameAttempts = 16;

const char* const kUnsafeFolderMessage =
    "The temporary folder's path holds characters that cannot be passed to curl safely. "
    "Set TMP, TEMP or TMPDIR to a plain folder.";

// Removes the configuration file however the fetch ends, exceptions included;
// the normal paths remove it themselves and dismiss the guard.
class ConfigFileGuard {
 public:
  explicit ConfigFileGuard(std::filesystem::path path) : path_(std::move(path)) {}
  ~ConfigFileGuard() {
    if (armed_) {
      std::error_code ignored;
      std::filesystem::remove(path_, ignored);
    }
  }
  ConfigFileGuard(const ConfigFileGuard&) = delete;
  ConfigFileGuard& operator=(const ConfigFileGuard&) = delete;
  void dismiss() { armed_ = false; }

 private:
  std::filesystem::path path_;
  bool armed_ = true;
};

// A fetch that ended without any answer, with the household's message.
FetchResult failedFetch(const char* message) {
  FetchResult result;
  result.error = message;
  return result;
}

// curl's own line for its failure `exitCode` ("curl: (N) ..."), from its last
// appearance in the output; "" when there is none.
std::string curlMessage(const std::string& output, int exitCode) {
  std::size_t at = output.rfind("curl: (" + std::to_string(exitCode) + ") ");
  if (at == std::string::npos) return std::string();
  std::size_t end = output.find('\n', at);
  std::string line = output.substr(at, end == std::string::npos ? std::string::npos : end - at);
  return trimBlanks(line.substr(0, 300));
}

// Names the time limit curl is given.
std::string tooSlowMessage() {
  return "The download took longer than " + std::to_string(timings.curlSeconds) +
         " seconds and was stopped. Try again later.";
}

std::string lowerHex(std::uint64_t value) {
  static const char digits[] = "0123456789abcdef";
  std::string text;
  do {
    text.insert(text.begin(), digits[value & 15u]);
    value >>= 4;
  } while (value != 0);
  return text;
}

}  // namespace

std::string curlConfigText(const std::string& url) {
  // Inside double quotes curl reads a backslash as an escape, so quotes and
  // backslashes are escaped and line breaks (which would end the value) dropped.
  std::string escaped;
  escaped.reserve(url.size());
  for (char c : url) {
    if (c == '\r' || c == '\n') continue;
    if (c == '"' || c == '\\') escaped.push_back('\\');
    escaped.push_back(c);
  }
  // globoff: curl would read [] and {} in the link as ranges and lists of
  // addresses, fetching many (or other) addresses in place of the one given.
  return "url = \"" + escaped + "\"\n" +
         "user-agent = \"Brimloft/1.0\"\n"
         // kStatusMarker, its line feed spelt as curl's write-out reads it.
         "write-out = \"\\n" + (kStatusMarker + 1) + "%{http_code}\"\n"
         "globoff\n";
}

std::string curlCommandLine(const std::string& configPath) {
  return "curl -q -sS -L --max-time " + std::to_string(timings.curlSeconds) + " --max-filesize 20000000 -K \"" +
         configPath + "\" 2>&1";
}

FetchResult interpretCurlOutput(const std::string& output, int exitCode) {
  FetchResult result;
  const std::string marker = kStatusMarker;
  std::size_t at = output.size() < marker.size() ? std::string::npos : output.rfind(marker);
  if (at != std::string::npos) {
    result.status = std::atoi(output.c_str() + at + marker.size());
    result.body = output.substr(0, at);
    if (result.status == 0) {
      result.error = kUnreachableMessage;
    } else {
      result.ok = result.status >= 200 && result.status <= 299;
    }
  } else {
    result.error = output.empty() ? "No answer. Check the internet connection." : output.substr(0, 300);
    while (!result.error.empty() && (result.error.back() == '\r' || result.error.back() == '\n')) {
      result.error.pop_back();
    }
  }
  // 0: curl finished the transfer. -1: how it ended cannot be told, so its
  // output alone decides.
  if (exitCode <= 0) return result;

  // curl gave up, whatever the status line says: the answer is not whole, and
  // curl's message (unbuffered, while the body waits in a buffer) may sit in
  // the middle of it. Nothing of it is handed on.
  result.ok = false;
  result.body.clear();
  if (exitCode == kCurlPartialFile) {
    result.error = kCutOffMessage;
  } else if (exitCode == kCurlTimedOut) {
    result.error = tooSlowMessage();
  } else if (exitCode == kCurlFileTooLarge) {
    result.error = kTooLargeMessage;
  } else if (at != std::string::npos && result.status == 0) {
    // The message that no website answered stays: it says more to a family.
  } else {
    std::string message = curlMessage(output, exitCode);
    if (!message.empty()) {
      result.error = message;
    } else if (at != std::string::npos || result.error.empty()) {
      result.error = "curl stopped with error " + std::to_string(exitCode) + ".";
    }
    // Otherwise the output's start stays: the command processor's complaint.
  }
  return result;
}

std::filesystem::path createConfigFile(const std::filesystem::path& folder, const std::string& text,
                                       const std::function<std::string()>& nextName) {
  for (int attempt = 0; attempt < kConfigNameAttempts; ++attempt) {
    std::filesystem::path path = folder / nextName();
    switch (platform::createPrivateFile(path, text)) {
      case platform::PrivateFile::created:
        return path;
      case platform::PrivateFile::clash:
        continue;  // someone else's file (or a trap): never touched, another name is drawn
      case platform::PrivateFile::failed:
        return std::filesystem::path();
    }
  }
  return std::filesystem::path();
}

std::string drawConfigName() {
  // A fresh draw from the system's random source for every file: a name seen
  // in the shared temporary folder tells nothing about the next one.
  std::random_device device;
  std::uint64_t high = device();
  std::uint64_t low = device();
  return "brimloft-" + lowerHex((high << 32) ^ low) + ".cfg";
}

FetchResult fetchUrl(const std::string& url) {
  std::filesystem::path folder = platform::temporaryFolder();

  // The path goes between double quotes unescaped; a folder name that the
  // command processor would still read as syntax could run something else.
  // The file's own name is plain letters and digits.
  if (!platform::isSafeInCommandQuotes(folder.string())) {
    return failedFetch(kUnsafeFolderMessage);
  }

  // The file holds the household's private calendar link: a new file that
  // only this user can read, in a folder every user can see.
  std::filesystem::path configPath = createConfigFile(folder, curlConfigText(url), drawConfigName);
  if (configPath.empty()) {
    return failedFetch(kNoConfigFileMessage);
  }
  std::string configText = configPath.string();
  ConfigFileGuard guard(configPath);

  FILE* pipe = platform::openCommandPipe(curlCommandLine(configText));
  if (pipe == nullptr) {
    guard.dismiss();
    std::filesystem::remove(configText);  // throws only when removal itself fails
    return failedFetch("Could not start curl.");
  }

  std::string output;
  bool tooLarge = false;
  try {
    std::string chunk(65536, '\0');
    for (;;) {
      std::size_t n = std::fread(&chunk[0], 1, chunk.size(), pipe);
      if (n == 0) break;
      if (output.size() + n > kMaxOutputBytes) {
        // Closing the pipe ends curl: its next write fails.
        tooLarge = true;
        break;
      }
      output.append(chunk, 0, n);
    }
  } catch (...) {
    platform::closeCommandPipe(pipe);  // waits for curl even when the reading throws
    throw;
  }
  int exitCode = platform::closeCommandPipe(pipe);

  guard.dismiss();
  std::error_code ignored;
  std::filesystem::remove(configText, ignored);
  if (tooLarge) {
    return failedFetch(kTooLargeMessage);
  }
  return interpretCurlOutput(output, exitCode);
}
