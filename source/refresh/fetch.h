#pragma once
// One HTTP GET through the external curl program. Every request the server
// makes to the internet goes through fetchUrl.
#include <filesystem>
#include <functional>
#include <string>

struct FetchResult {
  bool ok = false;     // status 200 to 299, and curl finished the transfer
  int status = 0;      // the HTTP status curl reported; 0 when no answer came
  std::string body;    // what curl printed before the last status marker; empty when curl failed
  std::string error;   // a message for the household when no status came or curl failed
};

// Fetches `url`. Blocks until curl ends (curl's own time limit bounds it).
// Only http and https are spoken, on the first request and on every redirect.
// An output beyond about 20 MB is not kept: the result then carries a message.
// Every `error` is a sentence for the household: curl's own wording is never
// handed on.
// Not safe to call on two threads at once: callers hold refreshWorkMutex.
FetchResult fetchUrl(const std::string& url);

// The message of a download that broke off before its end; the calendar
// refresh gives it too, for a calendar that arrived without its end.
extern const char* const kCutOffDownloadMessage;

// The pieces of a fetch, exposed so they can be checked on their own.

// The status marker curl writes after the body: a line feed, then this text.
extern const char* const kStatusMarker;
// The lines of the configuration file handed to curl with -K.
std::string curlConfigText(const std::string& url);
// The command line that runs curl on the configuration file at `configPath`.
std::string curlCommandLine(const std::string& configPath);
// Splits all that curl printed into status, body and message. A positive
// `exitCode` (curl's, from closing the pipe) makes the fetch a failure whatever
// the status says; 0 is success and -1 unknown, where the output alone decides.
FetchResult interpretCurlOutput(const std::string& output, int exitCode);
// Creates the configuration file holding `text` in `folder`, as a new private
// file, under the first name from `nextName` that is free; a bounded number of
// names is tried. The file's path, or an empty path when none could be made.
std::filesystem::path createConfigFile(const std::filesystem::path& folder, const std::string& text,
                                       const std::function<std::string()>& nextName);
// A new name for a configuration file: "brimloft-", random hex digits, ".cfg".
std::string drawConfigName();
