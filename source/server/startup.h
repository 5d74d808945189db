#pragma once
// Start-up steps that main wires together; kept apart from main for tests.
#include <filesystem>
#include <string>
#include <vector>

// The program's own folder when it holds app.html, else the current folder.
std::filesystem::path chooseBaseDir(const char* argument0);

// The port from PORT (8080 without it) and the last "--port <value>" pair.
// Conversion is atoi-like: leading blanks, a sign, digits; no digits give 0.
long long choosePort(const char* portVariable, const std::vector<std::string>& arguments);

// True when the output of "curl --version" shows a working curl.
bool curlProbeOutputOk(const char* buffer, std::size_t bytesRead);
// Runs "curl --version 2>&1" and checks its first bytes.
bool probeCurl();

// The computer's IPv4 address on the local network, or "" when none.
std::string findNetworkAddress();
