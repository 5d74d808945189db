#pragma once
// The HTTP routes of the server and its error handler.
#include <httplib.h>

#include <cstddef>

// The largest PUT body stored as an item.
constexpr std::size_t kMaxItemBodyBytes = 2000000;
// What the server receives at all: a little above the item limit, so that the
// item route still answers "Too big" itself, while no client can make the
// server hold an arbitrarily large body in memory.
constexpr std::size_t kMaxRequestBodyBytes = kMaxItemBodyBytes + 64 * 1024;

// Registers every route and the error handler on `server`, in route order.
// The handlers run on the pool's workers with no lock held; they take
// stateMutex through the state functions, refreshMutex to mark a refresh
// due, and POST /api/refresh may run both refreshes under refreshWorkMutex.
void registerRoutes(httplib::Server& server);
