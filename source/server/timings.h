#pragma once
// The waits and time limits of the running program in one place, with the
// values a household gets. Tests start the program with
// BRIMLOFT_TEST_TIMINGS set to shorten them, so that a wait of half a minute
// is exercised in a second or two; it is a test seam, not a setting. main sets
// `timings` before it starts any thread and nothing changes it afterwards, so
// no lock guards it (tests that change it do so before starting what reads it).
#include "platform/platform.h"

struct Timings {
  int curlSeconds = 30;              // curl's --max-time, named in the message of a download that took too long
  int pingSeconds = 20;              // a quiet event stream gets ": ping" after this long
  int requestSeconds = 10;           // a request's line, headers and body must arrive within this from its first byte
  int keepAliveSeconds = 5;          // a kept-alive connection waits this long for its next request
  int readSeconds = 5;               // a read of a request's body ends after this long without a byte
  platform::DeadPeerTimes deadPeer;  // keep-alive probes and the limit for unacknowledged data
};

extern Timings timings;

// `base` with the timers named in `text` replaced: comma-separated
// "name=seconds" pairs, the names curl, ping, request, keepalive, read,
// peeridle, peerinterval, peerprobes (a count) and peerunacked. A pair with an unknown
// name or a value that is not a whole number from 1 to 3600 is ignored, and
// that timer keeps its value; a null `text` changes nothing.
Timings timingsFromText(const char* text, Timings base = Timings());
