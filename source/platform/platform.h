#pragma once
// The only code that knows the operating system. Everything else calls these.
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

namespace platform {

// Starts `command` through the system's command processor with its standard
// output readable from the returned stream; null when it cannot be started.
FILE* openCommandPipe(const std::string& command);
// True when `text` can stand between double quotes in a command for
// openCommandPipe without the command processor reading anything in it as
// syntax: no control character, no double quote, and none of the characters
// the command processor still expands there (sh: $ ` \; cmd.exe would add % !).
bool isSafeInCommandQuotes(const std::string& text);
// Closes a stream from openCommandPipe and waits for the command to end.
// Returns the command's exit code (128 + the signal's number when a signal
// ended it, as shells report it), or -1 when it cannot be told.
int closeCommandPipe(FILE* pipe);

// Broken-down local time to seconds since 1970 UTC, normalising the fields of
// `tm` in place (out-of-range fields roll over, weekday and yearday filled in).
// Returns -1 when the time cannot be represented, as mktime does.
std::int64_t localTimeToSeconds(std::tm& tm);
// Seconds since 1970 UTC to broken-down local time; false when out of range.
bool secondsToLocalTime(std::int64_t seconds, std::tm& out);
// A local wall time to seconds since 1970 UTC, worked out from the zone's
// UTC offsets alone, so that the answer depends only on the wall time and the
// time zone (mktime's, with the daylight-saving flag -1, also depends on the
// times it converted before). `wallSeconds` is the wall time's civil fields
// counted as if they were UTC. A wall time that a clock change repeats is its
// earlier instant; one that a change skips is read with the offset from
// before the change (02:30 on a night the clocks go from 02:00 to 03:00 is
// 03:30 after it). `local` receives the broken-down local time of the answer.
// False when the platform cannot convert times that far away.
bool wallTimeToSeconds(std::int64_t wallSeconds, std::int64_t& seconds, std::tm& local);

// The folder for temporary files; throws std::filesystem::filesystem_error
// when it cannot be found or is not a folder.
std::filesystem::path temporaryFolder();

// Creates or truncates `path`, writes all of `bytes` and forces them to the
// disk before closing. False when any step fails (the file may then be partial).
bool writeFileDurably(const std::filesystem::path& path, const std::string& bytes);
// What createPrivateFile did.
enum class PrivateFile {
  created,  // a new file, readable and writable by its owner only, holds the bytes
  clash,    // something (a file, a folder, a symbolic link) already has that name; left untouched
  failed,   // it could not be created or written; nothing is left behind
};
// Creates `path` as a new file only its owner may read, and writes `bytes`
// into it. Never opens an existing file and never follows a symbolic link at
// `path`, so nobody can make it write elsewhere or read what it writes.
PrivateFile createPrivateFile(const std::filesystem::path& path, const std::string& bytes);

// Forces a folder's entries (a rename into it) to the disk; errors are ignored.
void syncFolder(const std::filesystem::path& folder);

// The local IPv4 address of the interface that leads to the internet, found
// without sending anything; "" when there is none.
std::string localNetworkAddress();

// The names the computer goes by: its host name, then its full name (the host
// name with its domain) when the system's name lookup gives one. Empty when
// not even the host name can be read. The lookup may ask the network's name
// server, so this can take as long as that answer.
std::vector<std::string> computerNames();

// ---- Stopping the program -------------------------------------------------
// The requests to stop: Ctrl-C, the terminal window closing and a request to
// end (SIGINT, SIGHUP, SIGTERM; on Windows the console's Ctrl-C, Ctrl-Break
// and close events, through SetConsoleCtrlHandler).

// From now on a stop request ends nothing by itself: it is handed to
// waitForStopRequest. A request the program was started to ignore (SIGINT or
// SIGHUP, under nohup or in a background job) stays ignored. Call once, from
// the main thread; nothing is done inside the signal handler but handing the
// request over.
void catchStopRequests();
// Blocks the calling thread until a stop request has come.
void waitForStopRequest();
// Ends the process at once with `exitCode`, without running the destructors
// of objects other threads still use. On Windows the console's close event
// ends the process as soon as its handler returns, so that handler waits for
// this call before it returns.
[[noreturn]] void endProcess(int exitCode);

// ---- Connections of the HTTP server ----------------------------------------
// A connected TCP socket, as the HTTP library hands it over.
using SocketHandle = int;

// Sets what every accepted connection needs: no delayed small writes, and
// keep-alive probes with a user time-out, so that a peer that vanished without
// closing (a phone that left the Wi-Fi, a tablet asleep) is noticed within
// kDeadPeerSeconds instead of the system's quarter of an hour of retransmits.
constexpr int kKeepAliveIdleSeconds = 10;
constexpr int kKeepAliveIntervalSeconds = 5;
constexpr int kKeepAliveProbes = 3;
constexpr int kUnacknowledgedSeconds = 15;
constexpr int kDeadPeerSeconds = 25;
// The times prepareConnection gives a connection: the ones above, unless tests shorten them.
struct DeadPeerTimes {
  int idleSeconds = kKeepAliveIdleSeconds;
  int intervalSeconds = kKeepAliveIntervalSeconds;
  int probes = kKeepAliveProbes;
  int unacknowledgedSeconds = kUnacknowledgedSeconds;
};
void prepareConnection(SocketHandle socket, const DeadPeerTimes& times);

// The options of the server's listening socket, set before it binds: the
// address may be taken again at once after a restart (connections of the last
// run may linger), but the port is never shared, so that a second copy of the
// program finds it busy instead of serving (and saving) beside the first.
void prepareListeningSocket(SocketHandle socket);
// Lets the system queue as many connections not yet accepted as it allows
// (at least kListenQueue) on a socket that already listens: the household's
// browsers reconnecting together after a restart come as one burst, and with
// a short queue the ones that find it full wait a second or more to try again.
// False when the system refused.
constexpr int kListenQueue = 128;
bool widenListenQueue(SocketHandle socket);

// Raises the number of files and connections the process may hold open at
// once to the most the system allows it; each connection takes one. Call at
// start, before other threads run. Returns the limit in force afterwards
// (-1 when it cannot be told).
long raiseOpenFileLimit();

enum class SocketWait { ready, timedOut, failed };
// Waits up to `milliseconds` until the socket has bytes (or its end) to read.
SocketWait waitToRead(SocketHandle socket, int milliseconds);
// Waits up to `milliseconds` until the socket takes more bytes.
SocketWait waitToWrite(SocketHandle socket, int milliseconds);
// Whether the peer has closed its end, or the connection broke; never waits.
// Bytes the peer sent and nobody read yet count as a peer still there.
bool peerHasLeft(SocketHandle socket);
// One receive or send; the byte count, 0 at the peer's end (receive), or -1.
// A send to a closed connection fails instead of raising a signal.
long receiveSome(SocketHandle socket, char* buffer, std::size_t size);
long sendSome(SocketHandle socket, const char* data, std::size_t size);
// The numeric address and port of the peer and of this end; "" and 0 on failure.
void peerAddress(SocketHandle socket, std::string& ip, int& port);
void localAddress(SocketHandle socket, std::string& ip, int& port);
// Ends what this side sends (the peer reads the end of the stream) while
// what the peer sends can still be read.
void stopSending(SocketHandle socket);
// Shuts both directions and closes the socket.
void closeConnection(SocketHandle socket);

// Memory. The C library gives each thread that allocates a memory pool of its
// own, up to several per processor core, and what a thread frees stays in its
// pool for that thread to reuse. With dozens of worker threads taking turns at
// large requests, those pools add up to many times what one request needs.

// Lets all threads share at most `pools` pools. Call before other threads
// start; does nothing where the C library has no such setting.
void limitMemoryPools(int pools);

}  // namespace platform
