#pragma once
// GET /api/stream: the Server-Sent Events stream of every change.
#include <cstddef>

// Streams hold one worker thread each for as long as they stay open. This many
// may be open at once; the rest of the 64 workers stay free for page loads,
// writes and refreshes. One stream more is refused with 503.
constexpr int kMaxOpenStreams = 56;

// The number of streams open right now.
int openStreamCount();
