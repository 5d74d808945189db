#include "refresh/fetch.h"

#include <algorithm>
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
const char* const kCutOffDownloadMessage = "The download was cut off before it was complete. Try again later.";

namespace {

// curl's --max-filesize refuses only downloads whose size is announced
// before they start (curl 7.88, as Debian 12 ships it, lets an answer
// without a length run past it), so a site that streams could fill memory
// for the whole of its time limit. Past the limit plus room for the status marker
// and curl's own messages, the reading stops and the download is refused.
const std::size_t kMaxOutputBytes = 20000000 + 65536;
const char* const kTooLargeMessage = "The download is larger than 20 MB, too large to use.";
const char* const kUnreachableMessage = "Could not reach the website. Check the internet connection.";
const char* const kNoAnswerMessage = "No answer. Check the internet connection.";
const char* const kNoCurlMessage =
    "The \"curl\" program was not found, so weather and linked calendars can't update. "
    "On Linux run: sudo apt install curl";

// What a family reads when curl could not finish a download, by curl's exit
// code. curl's own lines name protocols and library calls; none of them
// reaches the household.
struct CurlFailure {
  int exitCode;
  const char* message;
};
const CurlFailure kCurlFailures[] = {
    {1,  // a redirect to ftp://, file:// or the like: only http and https are followed
     "The website sent the download on to an address that does not start with http:// or https://, and such "
     "addresses are not followed. Check the link, or ask whoever publishes it for an https:// link."},
    {3, "The link is not a complete web address. Check it."},
    {5, "Could not reach the proxy server this computer is set to use. Check the computer's proxy settings."},
    {6, "Could not find the website. Check the link and the internet connection."},
    {7, kUnreachableMessage},
    {16, "The connection to the website broke off. Try again later."},
    {18, kCutOffDownloadMessage},  // the site closed the connection before the whole answer came
    {28, nullptr},  // --max-time ran out: tooSlowMessage names the limit in force
    {35,
     "Could not make a secure connection to the website. Check that this computer's date and time are "
     "right, or try again later."},
    {47,
     "The website keeps sending the download on from one address to another and never delivers it. Open "
     "the link in a browser to check it, or try again later."},
    {52, "The website closed the connection without answering. Try again later."},
    {55, "The connection to the website broke off. Try again later."},
    {56, "The connection to the website broke off. Try again later."},
    {58,
     "Could not make a secure connection to the website. Check that this computer's date and time are "
     "right, or try again later."},
    {60,
     "The website's security certificate could not be checked. Check that this computer's date and time "
     "are right, and that the link is the one you were given."},
    {61, "The website sent a compressed answer that arrived broken. Try again later."},
    {63, kTooLargeMessage},  // the announced size is above --max-filesize
    {92, "The connection to the website broke off. Try again later."},
    // The command processor's codes: the program is missing or cannot be run.
    {126, kNoCurlMessage},
    {127, kNoCurlMessage},
};

// Names the time limit curl is given.
std::string tooSlowMessage() {
  return "The download took longer than " + std::to_string(timings.curlSeconds) +
         " seconds and was stopped. Try again later.";
}

// The family's message for curl's exit code; a code the table does not name
// gets a general one carrying the number, for whoever helps the family.
std::string curlFailureMessage(int exitCode) {
  for (const CurlFailure& failure : kCurlFailures) {
    if (failure.exitCode == exitCode) return failure.message ? failure.message : tooSlowMessage();
  }
  if (exitCode > 128) return "The download was stopped before it was complete. Try again later.";
  return "The download failed (curl error " + std::to_string(exitCode) + "). Try again later.";
}

const char* const kNoConfigFileMessage =
    "Could not create a temporary file for curl. Check that the temporary folder can be written to.";

const char* const kNoTemporaryFolderMessage =
    "The temporary folder could not be found. Set TMP, TEMP or TMPDIR to a folder that exists.";

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
  // proto and proto-redir: curl speaks every protocol it knows and follows
  // redirects to most of them (ftp, with a login, among them), so a calendar
  // site could send it to any service of this computer or its network; only
  // web addresses are fetched, the first and every one redirected to.
  return "url = \"" + escaped + "\"\n" +
         "user-agent = \"Brimloft/1.0\"\n"
         // kStatusMarker, its line feed spelt as curl's write-out reads it.
         "write-out = \"\\n" +
         (kStatusMarker + 1) +
         "%{http_code}\"\n"
         "globoff\n"
         "proto = \"=http,https\"\n"
         "proto-redir = \"=http,https\"\n";
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
  } else if (trimBlanks(output).empty()) {
    result.error = kNoAnswerMessage;
  } else {
    // curl always writes the marker, even when it fails; output without one
    // came from something else (the command processor, a broken install).
    // Its wording is not for the household.
    result.error = "The \"curl\" program did not answer as expected. Check that curl is installed properly.";
  }
  // 0: curl finished the transfer. -1: how it ended cannot be told, so its
  // output alone decides.
  if (exitCode <= 0) return result;

  // curl gave up, whatever the status line says: the answer is not whole, and
  // curl's message (unbuffered, while the body waits in a buffer) may sit in
  // the middle of it. Nothing of it is handed on.
  result.ok = false;
  result.body.clear();
  if (at != std::string::npos && result.status == 0 &&
      std::none_of(std::begin(kCurlFailures), std::end(kCurlFailures),
                   [&](const CurlFailure& failure) { return failure.exitCode == exitCode; })) {
    return result;  // the message that no website answered says more than a number
  }
  result.error = curlFailureMessage(exitCode);
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
  std::filesystem::path folder;
  try {
    folder = platform::temporaryFolder();
  } catch (const std::filesystem::filesystem_error&) {
    return failedFetch(kNoTemporaryFolderMessage);
  }

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
    return failedFetch("Could not start curl.");  // the guard removes the file
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
