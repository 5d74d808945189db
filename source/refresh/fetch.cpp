#include "refresh/fetch.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>
#include <system_error>

#include "platform/platform.h"

const char* const kStatusMarker = "\n__BRIMLOFT_STATUS__";

namespace {

// curl's --max-filesize refuses only downloads whose size is announced
// before they start (curl 7.88, as Debian 12 ships it, lets an answer
// without a length run past it), so a site that streams could fill memory
// for the whole 30 seconds. Past the limit plus room for the status marker
// and curl's own messages, the reading stops and the download is refused.
const std::size_t kMaxOutputBytes = 20000000 + 65536;
const char* const kTooLargeMessage = "The download is larger than 20 MB, too large to use.";

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

std::mt19937_64& tempNameEngine() {
  // Seeded once per process from the system's random source. A failing random
  // device throws out of the initialiser, so the next call tries again.
  static std::mt19937_64 engine([] {
    std::random_device device;
    return static_cast<std::mt19937_64::result_type>(device());
  }());
  return engine;
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
  return "url = \"" + escaped + "\"\n" +
         "user-agent = \"Brimloft/1.0\"\n"
         "write-out = \"\\n__BRIMLOFT_STATUS__%{http_code}\"\n";
}

std::string curlCommandLine(const std::string& configPath) {
  return "curl -q -sS -L --max-time 30 --max-filesize 20000000 -K \"" + configPath + "\" 2>&1";
}

bool isSafeInQuotes(const std::string& path) {
  for (char c : path) {
    unsigned char byte = static_cast<unsigned char>(c);
    if (byte < 32 || byte == 127 || c == '"') return false;
#ifdef _WIN32
    // cmd.exe expands variables even inside double quotes.
    if (c == '%' || c == '!') return false;
#else
    // sh still expands these inside double quotes.
    if (c == '$' || c == '`' || c == '\\') return false;
#endif
  }
  return true;
}

FetchResult interpretCurlOutput(const std::string& output) {
  FetchResult result;
  const std::string marker = kStatusMarker;
  std::size_t at = output.size() < marker.size() ? std::string::npos : output.rfind(marker);
  if (at != std::string::npos) {
    result.status = std::atoi(output.c_str() + at + marker.size());
    result.body = output.substr(0, at);
    if (result.status == 0) {
      result.error = "Could not reach the website. Check the internet connection.";
    } else {
      result.ok = result.status >= 200 && result.status <= 299;
    }
    return result;
  }
  result.error = output.empty() ? "No answer. Check the internet connection." : output.substr(0, 300);
  while (!result.error.empty() && (result.error.back() == '\r' || result.error.back() == '\n')) {
    result.error.pop_back();
  }
  return result;
}

FetchResult fetchUrl(const std::string& url) {
  std::string name = "brimloft-" + lowerHex(tempNameEngine()()) + ".cfg";
  std::filesystem::path configPath = platform::temporaryFolder() / name;
  std::string configText = configPath.string();

  // The path goes between double quotes unescaped; a folder name that the
  // command processor would still read as syntax could run something else.
  if (!isSafeInQuotes(configText)) {
    return failedFetch(kUnsafeFolderMessage);
  }

  ConfigFileGuard guard(configPath);
  {
    // Failures to write show up in what curl prints.
    std::ofstream file(configText, std::ios::binary | std::ios::trunc);
    file << curlConfigText(url);
  }

  FILE* pipe = platform::openCommandPipe(curlCommandLine(configText));
  if (pipe == nullptr) {
    guard.dismiss();
    std::filesystem::remove(configText);  // throws only when removal itself fails
    return failedFetch("Could not start curl.");
  }

  std::string output;
  bool tooLarge = false;
  {
    // Closes the pipe (and waits for curl) even when the reading throws.
    struct PipeCloser {
      FILE* pipe;
      ~PipeCloser() { platform::closeCommandPipe(pipe); }
    } closer{pipe};
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
  }

  guard.dismiss();
  std::error_code ignored;
  std::filesystem::remove(configText, ignored);
  if (tooLarge) {
    return failedFetch(kTooLargeMessage);
  }
  return interpretCurlOutput(output);
}
