#pragma once
// Start-up steps that main wires together; kept apart from main for tests.
// main runs them before it starts any other thread, so none takes a lock.
#include <filesystem>
#include <string>
#include <vector>

#include "server/connections.h"

// The program's own folder when it holds app.html, else the current folder.
std::filesystem::path chooseBaseDir(const char* argument0);

// The port from PORT (8080 without it) and the last "--port <value>" pair.
// Conversion is readLeadingInteger's, atoi-like: leading blanks, a sign,
// digits; no digits give 0; an absurdly long number stays out of range.
long long choosePort(const char* portVariable, const std::vector<std::string>& arguments);

// True when the output of "curl --version" shows a working curl.
bool curlProbeOutputOk(const char* buffer, std::size_t bytesRead);
// Runs "curl --version 2>&1" and checks its first bytes.
bool probeCurl();

// The computer's IPv4 address on the local network, or "" when none.
std::string findNetworkAddress();

// Everything the server is given before it binds: the routes, the body limit,
// the keep-alive count and time-out, the read time-out, no delayed small
// answers (its pool, keep-alive loop and dead-peer detection come with
// HouseholdServer; the listening socket's options with bindServer). main and the route tests both set their
// server up here, so that the tests run the server as it runs.
void configureServer(HouseholdServer& server);

// Binds `server` to `port` on `host`, with the listening socket's options
// (platform::prepareListeningSocket) and a queue of kListenQueue connections
// or more; port 0 asks the system for any free port. Returns the port in use,
// or -1 when the port cannot be had.
int bindServer(httplib::Server& server, const std::string& host, int port);
