#pragma once
// GET /api/stream: the Server-Sent Events stream of every change.
#include <httplib.h>

#include <cstddef>
#include <cstdint>

// Streams hold one worker thread each for as long as they stay open. This many
// may be open at once, which keeps the pool's first 64 workers enough for the
// streams and a household's page loads, writes and refreshes even before it
// grows (server/connections.h). A stream more first asks the open ones to look whether
// their windows are still there, waits briefly for a place, and is otherwise
// turned away with kStreamsFullMessage.
constexpr int kMaxOpenStreams = 56;

// The answer to a window turned away: an event stream that ends at once. A
// browser's event source gives up for good after any status but 200; after
// this one it connects again by itself after the retry time, and gets in as
// soon as a place is free. The comment line says why to anyone who looks.
constexpr const char kStreamsFullMessage[] =
    ": Too many open calendar windows. This one connects again by itself when another closes.\n"
    "retry: 2000\n\n";

// The whole state goes out in writes of at most this many bytes of its text
// (and the message's head and tail): a state no larger is one write.
constexpr std::size_t kFullStatePiece = 64 * 1024;

// For tests: the number of streams open right now. The count is an atomic, no lock.
int openStreamCount();

// One stream's position, shared by every copy of its content provider. Its
// destruction, with the last copy, frees the stream's place in the count.
struct StreamState {
  std::uint64_t cursor = 0;  // the last event sent, or the state sent whole
  bool started = false;
  std::uint64_t checkSeen = 0;  // the change hub's last check round it answered
  bool admitted = false;        // whether it found a place within kMaxOpenStreams
  StreamState();
  ~StreamState();
  StreamState(const StreamState&) = delete;
  StreamState& operator=(const StreamState&) = delete;
};

// GET /api/stream: a place among kMaxOpenStreams (or the short answer that
// turns the window away), then sendNextEvents for as long as the browser reads.
// Holds no lock while it waits for a place; asking the open streams to check
// takes the hub's mutex and wakeMutex.
void handleEventStream(const httplib::Request& request, httplib::Response& response);

// One step of a stream: the full state first (in pieces of kFullStatePiece),
// then whatever the change hub brings (events joined in one write, the full
// state after falling behind, or the keep-alive comment). Returns the writes'
// result; false ends it. Woken to check its connection, it writes nothing and
// returns whether the browser is still connected. Call with no lock held: the
// full state's text is made (or taken, when nothing changed since) under
// stateMutex, with the hub's mutex under it for the cursor; the wait for news
// takes the hub's mutex alone, and every write is made with no lock.
bool sendNextEvents(StreamState& stream, httplib::DataSink& sink);
