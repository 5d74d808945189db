#pragma once
// The HTTP routes of the server and its error handler.
#include <httplib.h>

#include <filesystem>
#include <string>

// The fixed page around app.html, and app.html (or the missing-file note) inside it.
std::string buildAppPage();
// The whole file as raw bytes; empty when it is missing or unreadable.
std::string readFileToString(const std::filesystem::path& path);

void handleAppPageRoot(const httplib::Request& request, httplib::Response& response);
void handleAppPageIndex(const httplib::Request& request, httplib::Response& response);
void handleGetState(const httplib::Request& request, httplib::Response& response);
void handleRefresh(const httplib::Request& request, httplib::Response& response,
                   const httplib::ContentReader& readContent);
void handlePutDoc(const httplib::Request& request, httplib::Response& response,
                  const httplib::ContentReader& readContent);
void handleDeleteDoc(const httplib::Request& request, httplib::Response& response,
                     const httplib::ContentReader& readContent);
void handleHttpError(const httplib::Request& request, httplib::Response& response);

// The largest PUT body stored as an item.
constexpr std::size_t kMaxItemBodyBytes = 2000000;
// What the server receives at all: a little above the item limit, so that the
// item route still answers "Too big" itself, while no client can make the
// server hold an arbitrarily large body in memory.
constexpr std::size_t kMaxRequestBodyBytes = kMaxItemBodyBytes + 64 * 1024;

// Registers every route and the error handler on `server`, in route order.
void registerRoutes(httplib::Server& server);
