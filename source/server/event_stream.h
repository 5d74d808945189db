#pragma once
// GET /api/stream: the Server-Sent Events stream of every change.
#include <httplib.h>

#include <cstddef>
#include <cstdint>

// Streams hold one worker thread each for as long as they stay open. This many
// may be open at once; the rest of the 64 workers stay free for page loads,
// writes and refreshes. One stream more is refused with 503.
constexpr int kMaxOpenStreams = 56;

// The number of streams open right now.
int openStreamCount();

// One stream's position, shared by every copy of its content provider. Its
// destruction, with the last copy, frees the stream's place in the count.
struct StreamState {
  std::uint64_t cursor = 0;  // the last event sent, or the state sent whole
  bool started = false;
  StreamState();
  ~StreamState();
  StreamState(const StreamState&) = delete;
  StreamState& operator=(const StreamState&) = delete;
};

// One step of a stream: the full state first, then whatever the change hub
// brings (events joined in one write, the full state after falling behind,
// or the keep-alive comment). Returns the write's result; false ends it.
bool sendNextEvents(StreamState& stream, httplib::DataSink& sink);
