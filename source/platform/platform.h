#pragma once
// The only code that knows the operating system. Everything else calls these.
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <string>

namespace platform {

// Starts `command` through the system's command processor with its standard
// output readable from the returned stream; null when it cannot be started.
FILE* openCommandPipe(const std::string& command);
// Closes a stream from openCommandPipe and waits for the command to end.
int closeCommandPipe(FILE* pipe);

// Broken-down local time to seconds since 1970 UTC, normalising the fields of
// `tm` in place (out-of-range fields roll over, weekday and yearday filled in).
// Returns -1 when the time cannot be represented, as mktime does.
std::int64_t localTimeToSeconds(std::tm& tm);
// Seconds since 1970 UTC to broken-down local time; false when out of range.
bool secondsToLocalTime(std::int64_t seconds, std::tm& out);

// The folder for temporary files; throws std::filesystem::filesystem_error
// when it cannot be found or is not a folder.
std::filesystem::path temporaryFolder();

// Creates or truncates `path`, writes all of `bytes` and forces them to the
// disk before closing. False when any step fails (the file may then be partial).
bool writeFileDurably(const std::filesystem::path& path, const std::string& bytes);
// Forces a folder's entries (a rename into it) to the disk; errors are ignored.
void syncFolder(const std::filesystem::path& folder);

// The local IPv4 address of the interface that leads to the internet, found
// without sending anything; "" when there is none.
std::string localNetworkAddress();

// Memory. The C library gives each thread that allocates a memory pool of its
// own, up to several per processor core, and what a thread frees stays in its
// pool for that thread to reuse. With dozens of worker threads taking turns at
// large requests, those pools add up to many times what one request needs.

// Lets all threads share at most `pools` pools. Call before other threads
// start; does nothing where the C library has no such setting.
void limitMemoryPools(int pools);

}  // namespace platform
