#include "server/routes.h"

#include <algorithm>
#include <fstream>
#include <sstream>

#include "refresh/refresh.h"
#include "refresh/refresh_requests.h"
#include "server/answers.h"
#include "server/json_text.h"
#include "server/state.h"

using nlohmann::json;

namespace {

const char kPageHead[] =
    "<!doctype html><html><head><meta charset=\"utf-8\"><meta name=\"viewport\" "
    "content=\"width=device-width,initial-scale=1,viewport-fit=cover\"><meta "
    "name=\"apple-mobile-web-app-capable\" content=\"yes\"><meta name=\"mobile-web-app-capable\" "
    "content=\"yes\"><style>:root{padding-top:env(safe-area-inset-top,0px);padding-bottom:env(safe-"
    "area-inset-bottom,0px)}body{margin:0;font:14px "
    "system-ui,sans-serif}img{max-width:100%}[hidden]{display:none!important}</"
    "style><script>window.BRIMLOFT_SERVER=true</script></head><body>";
const char kMissingApp[] =
    "<p style='font:18px sans-serif;padding:20px'>app.html is missing. Put it in the same folder as this "
    "program.</p>";
const char kPageTail[] = "</body></html>";

const json& serverOnlyError() {
  static const json e = {{"error", "This part is updated by the server only."}};
  return e;
}

// A request without Content-Length or Transfer-Encoding has no body at all;
// asking the library to read one would wait for its read time-out.
bool hasBody(const httplib::Request& request) {
  return request.has_header("Content-Length") || request.has_header("Transfer-Encoding");
}

// Reads and drops a body that means nothing to the route, as it arrives: held
// whole by the library it would cost memory, and left unread it would be taken
// for the next request on a kept-alive connection.
void drainBody(const httplib::Request& request, const httplib::ContentReader& readContent) {
  if (hasBody(request)) readContent([](const char*, std::size_t) { return true; });
}

void sendAppPage(httplib::Response& response) {
  setNoStore(response);
  response.set_content(buildAppPage(), "text/html; charset=utf-8");
}

}  // namespace

std::string readFileToString(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::string();
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string buildAppPage() {
  std::string app = readFileToString(appPagePath);
  if (app.empty()) app = kMissingApp;
  std::string page;
  page.reserve(sizeof kPageHead + app.size() + sizeof kPageTail);
  page += kPageHead;
  page += app;
  page += kPageTail;
  return page;
}

void handleAppPageRoot(const httplib::Request&, httplib::Response& response) { sendAppPage(response); }
void handleAppPageIndex(const httplib::Request&, httplib::Response& response) { sendAppPage(response); }

void handleGetState(const httplib::Request&, httplib::Response& response) {
  std::string text;
  {
    std::lock_guard<std::mutex> lock(stateMutex);
    text = dumpCompact(stateDoc);
  }
  setNoStore(response);
  response.set_content(std::move(text), "application/json; charset=utf-8");
}

void handleRefresh(const httplib::Request& request, httplib::Response& response,
                   const httplib::ContentReader& readContent) {
  // Taken through the reader, a POST without any Content-Length gets through
  // (the library refuses those with 400 otherwise).
  drainBody(request, readContent);
  {
    std::lock_guard<std::mutex> work(refreshWorkMutex);
    refreshWeather();
    refreshFeeds();
  }
  sendJson(response, 200, json{{"ok", true}});
}

void handlePutDoc(const httplib::Request& request, httplib::Response& response,
                  const httplib::ContentReader& readContent) {
  const std::string section = request.matches[1];
  const std::string id = request.matches[2];
  // The body is read here rather than by the server library: the library
  // would refuse form-encoded bodies over 8 KiB (curl -d sends that type),
  // and reading it here keeps at most one byte over the limit in memory.
  // It is read whole even when the answer is already known, so that what is
  // left of it is not taken for the next request on a kept-alive connection.
  std::string body;
  std::size_t received = 0;
  bool complete = !hasBody(request) || readContent([&](const char* data, std::size_t length) {
    received += length;
    if (body.size() <= kMaxItemBodyBytes) {
      body.append(data, std::min(length, kMaxItemBodyBytes + 1 - body.size()));
    }
    return true;
  });
  if (!isWritableSection(section)) return sendJson(response, 403, serverOnlyError());
  // A read that fails on the server-wide limit leaves the library's 413; any
  // other failure is a body that was cut off.
  bool tooBig = received > kMaxItemBodyBytes || (!complete && response.status == 413);
  if (tooBig) return sendJson(response, 413, json{{"error", "Too big"}});
  if (!complete) return sendJson(response, 400, json{{"error", "Bad data"}});
  json item;
  try {
    // The depth bound keeps every later copy and dump of the item from
    // running out of stack.
    item = parseBounded(body, kMaxItemDepth);
  } catch (...) {
    return sendJson(response, 400, json{{"error", "Bad data"}});
  }
  if (!item.is_object()) return sendJson(response, 400, json{{"error", "Bad data"}});
  applyChange(section, id, std::move(item));
  if (section == "settings") requestWeatherRefresh();
  if (section == "feeds") requestFeedsRefresh();
  sendJson(response, 200, json{{"ok", true}});
}

void handleDeleteDoc(const httplib::Request& request, httplib::Response& response,
                     const httplib::ContentReader& readContent) {
  const std::string section = request.matches[1];
  const std::string id = request.matches[2];
  // Read by the library, a form-encoded body above 8 KiB would be refused as too big.
  drainBody(request, readContent);
  if (!isWritableSection(section)) return sendJson(response, 403, serverOnlyError());
  applyChange(section, id, nullptr);
  if (section == "feeds") applyChange("feedEvents", id, nullptr);
  sendJson(response, 200, json{{"ok", true}});
}

void handleHttpError(const httplib::Request&, httplib::Response& response) {
  if (!response.body.empty()) return;
  // A 413 without a body comes from the server-wide body limit; it means the
  // same as the item route's own refusal.
  const char* message = response.status == 413 ? "Too big" : "Not found";
  sendJson(response, response.status, json{{"error", message}});
}

namespace {

using HandlerWithContentReader = httplib::Server::HandlerWithContentReader;

void handleUnroutedBody(const httplib::Request& request, httplib::Response& response,
                        const httplib::ContentReader& readContent) {
  drainBody(request, readContent);
  response.status = 404;
}

}  // namespace

void registerRoutes(httplib::Server& server) {
  server.Get("/", handleAppPageRoot);
  server.Get("/index.html", handleAppPageIndex);
  server.Get("/api/state", handleGetState);
  server.Get("/api/stream", handleEventStream);
  server.Post("/api/refresh", handleRefresh);
  server.Put(R"(/api/doc/([a-zA-Z]+)/([A-Za-z0-9_\-.]{1,80}))", handlePutDoc);
  server.Delete(R"(/api/doc/([a-zA-Z]+)/([A-Za-z0-9_\-.]{1,80}))", handleDeleteDoc);
  // Requests with a body that no route above takes: the library would read
  // the body whole into memory before answering 404, unpacking a compressed
  // one without any bound (a small gzip body can unpack to gigabytes). These
  // drain it as it arrives instead, and answer 404 like any unrouted path.
  const HandlerWithContentReader unrouted = handleUnroutedBody;
  server.Post(".*", unrouted);
  server.Put(".*", unrouted);
  server.Patch(".*", unrouted);
  server.Delete(".*", unrouted);
  // PRI (the HTTP/2 preface) has no routes at all; refuse it before its body is read.
  server.set_pre_routing_handler([](const httplib::Request& request, httplib::Response& response) {
    if (request.method != "PRI") return httplib::Server::HandlerResponse::Unhandled;
    response.status = 400;
    return httplib::Server::HandlerResponse::Handled;
  });
  server.set_error_handler(handleHttpError);
}
