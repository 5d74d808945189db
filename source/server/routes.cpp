#include "server/routes.h"

#include <algorithm>
#include <cstdint>
#include <sstream>

#include "refresh/refresh_requests.h"
#include "server/answers.h"
#include "server/connections.h"
#include "server/event_stream.h"
#include "server/json_text.h"
#include "server/request_origin.h"
#include "server/state.h"
#include "text/text_util.h"

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

const json& tooBigError() {
  static const json e = {{"error", "Too big"}};
  return e;
}

const json& badDataError() {
  static const json e = {{"error", "Bad data"}};
  return e;
}

// How far a request body was read.
enum class BodyRead { Whole, TooBig, CutOff };

// Reads the body as it arrives and hands each piece to `keep`. Declared
// lengths over the server-wide limit never reach a route (they are refused
// before routing); a chunked body is stopped as soon as it passes the limit.
template <typename Keep>
BodyRead readBody(const httplib::Request& request, const httplib::ContentReader& readContent, Keep keep) {
  if (!hasBody(request)) return BodyRead::Whole;
  std::size_t received = 0;
  const bool whole = readContent([&](const char* data, std::size_t length) {
    received += length;
    if (received > kMaxRequestBodyBytes) return false;
    keep(data, length);
    return true;
  });
  if (received > kMaxRequestBodyBytes) return BodyRead::TooBig;
  return whole ? BodyRead::Whole : BodyRead::CutOff;
}

// Reads and drops a body that means nothing to the route, as it arrives: held
// whole by the library it would cost memory, and left unread it would be taken
// for the next request on a kept-alive connection.
BodyRead drainBody(const httplib::Request& request, const httplib::ContentReader& readContent) {
  return readBody(request, readContent, [](const char*, std::size_t) {});
}

// A request whose body was not read to its end does nothing: it is answered
// 413 or 400, and its connection ends, since the rest of the body must not be
// taken for the next request. False when the body was read whole.
bool refuseUnreadBody(BodyRead read, httplib::Response& response) {
  if (read == BodyRead::Whole) return false;
  sendJson(response, read == BodyRead::TooBig ? 413 : 400,
           read == BodyRead::TooBig ? tooBigError() : badDataError());
  closeConnection(response);
  return true;
}

// The section test comes before the body's own refusals, as for a body read whole.
void refuseServerOnlySection(BodyRead read, httplib::Response& response) {
  sendJson(response, 403, serverOnlyError());
  if (read != BodyRead::Whole) closeConnection(response);
}

// The fixed page around app.html, and app.html inside it; a missing,
// unreadable or empty app.html shows the missing-file note instead.
std::string buildAppPage() {
  std::string app;
  if (!readWholeFile(appPagePath, app) || app.empty()) app = kMissingApp;
  std::string page;
  page.reserve(sizeof kPageHead + app.size() + sizeof kPageTail);
  page += kPageHead;
  page += app;
  page += kPageTail;
  return page;
}

void sendAppPage(httplib::Response& response) {
  setNoStore(response);
  response.set_content(buildAppPage(), "text/html; charset=utf-8");
}

void handleAppPageRoot(const httplib::Request&, httplib::Response& response) { sendAppPage(response); }
void handleAppPageIndex(const httplib::Request&, httplib::Response& response) { sendAppPage(response); }

void handleGetState(const httplib::Request&, httplib::Response& response) {
  // The text the opening event streams share: made once per change, whoever asks.
  std::shared_ptr<const std::string> text;
  {
    std::lock_guard<std::mutex> lock(stateMutex);
    text = sharedStateText();
  }
  setNoStore(response);
  response.set_content(*text, "application/json; charset=utf-8");
}

void handleRefresh(const httplib::Request& request, httplib::Response& response,
                   const httplib::ContentReader& readContent) {
  // Taken through the reader, a POST without any Content-Length gets through
  // (the library refuses those with 400 otherwise).
  if (refuseUnreadBody(drainBody(request, readContent), response)) return;
  // Answered once a run of both refreshes that started after this request has
  // ended; an exception out of that run becomes the server library's 500.
  // Presses beyond the few that may wait are answered at once, so that page
  // loads and writes keep their workers; what the runs store still reaches
  // every open window.
  if (!awaitRequestedRefresh()) {
    return sendJson(response, 503,
                    json{{"error", "A refresh is already running. The calendar will update by itself when it is "
                                   "done."}});
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
  const BodyRead read = readBody(request, readContent, [&](const char* data, std::size_t length) {
    if (body.size() <= kMaxItemBodyBytes) {
      body.append(data, std::min(length, kMaxItemBodyBytes + 1 - body.size()));
    }
  });
  if (!isWritableSection(section)) return refuseServerOnlySection(read, response);
  if (refuseUnreadBody(read, response)) return;
  if (body.size() > kMaxItemBodyBytes) return sendJson(response, 413, tooBigError());
  json item;
  try {
    // The depth bound keeps every later copy and dump of the item from
    // running out of stack.
    item = parseBounded(body, kMaxItemDepth);
  } catch (...) {
    return sendJson(response, 400, badDataError());
  }
  if (!item.is_object()) return sendJson(response, 400, badDataError());
  if (!applyChange(section, id, std::move(item))) return sendJson(response, 503, stoppingError());
  if (section == "settings") requestWeatherRefresh();
  if (section == "feeds") requestFeedsRefresh();
  sendJson(response, 200, json{{"ok", true}});
}

void handleDeleteDoc(const httplib::Request& request, httplib::Response& response,
                     const httplib::ContentReader& readContent) {
  const std::string section = request.matches[1];
  const std::string id = request.matches[2];
  // Read by the library, a form-encoded body above 8 KiB would be refused as too big.
  const BodyRead read = drainBody(request, readContent);
  if (!isWritableSection(section)) return refuseServerOnlySection(read, response);
  if (refuseUnreadBody(read, response)) return;
  if (!applyChange(section, id, nullptr)) return sendJson(response, 503, stoppingError());
  if (section == "feeds") applyChange("feedEvents", id, nullptr);
  sendJson(response, 200, json{{"ok", true}});
}

// No answer of this server is sent in parts or compressed. The library would
// cut every answer to the ranges of a Range header (building a copy of the
// whole answer per range) and compress it for an Accept-Encoding header
// (brotli at its highest level, seconds for the app page), both when it
// writes the answer, after every handler has run; answerWholeAndAsIs
// (server/connections.h) keeps every answer whole and as it is.

bool isOptionalWhiteSpace(char c) { return c == ' ' || c == '\t'; }

// True when a Content-Encoding header names any coding but identity.
bool declaresContentCoding(const httplib::Request& request) {
  const std::size_t count = request.get_header_value_count("Content-Encoding");
  for (std::size_t i = 0; i < count; ++i) {
    std::istringstream codings(request.get_header_value("Content-Encoding", i));
    for (std::string coding; std::getline(codings, coding, ',');) {
      auto first = std::find_if_not(coding.begin(), coding.end(), isOptionalWhiteSpace);
      auto last = std::find_if_not(coding.rbegin(), coding.rend(), isOptionalWhiteSpace).base();
      const std::string name = toLowerAscii(std::string(first, first < last ? last : first));
      if (!name.empty() && name != "identity") return true;
    }
  }
  return false;
}

// The body length the library would read, taken as it takes it.
std::uint64_t declaredLength(const httplib::Request& request) {
  return request.get_header_value<std::uint64_t>("Content-Length");
}

// The library reads bodies only for these methods, and for DELETE only when
// a Content-Length is given; any other body stays on the connection.
bool bodyLeftUnread(const httplib::Request& request) {
  if (!request.has_header("Transfer-Encoding") && declaredLength(request) == 0) return false;
  const std::string& m = request.method;
  if (m == "DELETE") return !request.has_header("Content-Length");
  return m != "POST" && m != "PUT" && m != "PATCH";
}

// The refusals decided from a request's head alone, before any of its body is
// read; the body of each is never read, so its connection ends. False when
// the request passes them.
bool refuseFromHead(const httplib::Request& request, httplib::Response& response) {
  if (answerForeignRequest(request, response)) {
    // A request sent to a name outside the household, or a write from another
    // site's page: refused before anything else.
  } else if (declaresContentCoding(request)) {
    // The library would unpack a compressed body without any bound on what it
    // unpacks to; this server takes none.
    sendJson(response, 415, json{{"error", "Compressed bodies are not accepted"}});
  } else if (declaredLength(request) > kMaxRequestBodyBytes) {
    // Decided from the declared length, instead of the library reading the
    // body until the read time-out only to refuse it.
    sendJson(response, 413, tooBigError());
  } else {
    return false;
  }
  closeConnection(response);
  return true;
}

// Runs for every request once its headers are read and before any of its body is.
httplib::Server::HandlerResponse screenRequest(const httplib::Request& request, httplib::Response& response) {
  answerWholeAndAsIs(request);
  if (refuseFromHead(request, response)) return httplib::Server::HandlerResponse::Handled;
  if (request.method == "PRI") {
    // The HTTP/2 preface: no routes at all. The error handler gives the body.
    response.status = 400;
    closeConnection(response);
    return httplib::Server::HandlerResponse::Handled;
  }
  if (bodyLeftUnread(request)) closeConnection(response);
  return httplib::Server::HandlerResponse::Unhandled;
}

// A client that asks before sending its body ("Expect: 100-continue") gets
// "100 Continue" unless the head alone refuses the request: then the refusal
// comes at once, and the client sends nothing it would have to send in vain.
// Runs before screenRequest.
int answerExpectContinue(const httplib::Request& request, httplib::Response& response) {
  answerWholeAndAsIs(request);
  return refuseFromHead(request, response) ? response.status : 100;
}

void handleHttpError(const httplib::Request& request, httplib::Response& response) {
  // Answers that the library gives before routing (a Range header it cannot
  // parse, 416) still carry what it parsed.
  answerWholeAndAsIs(request);
  if (!response.body.empty()) return;
  // A 413 without a body comes from the server-wide body limit; it means the
  // same as the item route's own refusal.
  const char* message = response.status == 413 ? "Too big" : "Not found";
  sendJson(response, response.status, json{{"error", message}});
}

using HandlerWithContentReader = httplib::Server::HandlerWithContentReader;

void handleUnroutedBody(const httplib::Request& request, httplib::Response& response,
                        const httplib::ContentReader& readContent) {
  if (!refuseUnreadBody(drainBody(request, readContent), response)) response.status = 404;
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
  // the body whole into memory before answering 404. These drain it as it
  // arrives instead, and answer 404 like any unrouted path. The pattern
  // matches every path, line breaks included ("." would not match the CR or
  // LF of a path with "%0D" or "%0A").
  const char kAnyPath[] = R"([\s\S]*)";
  const HandlerWithContentReader unrouted = handleUnroutedBody;
  server.Post(kAnyPath, unrouted);
  server.Put(kAnyPath, unrouted);
  server.Patch(kAnyPath, unrouted);
  server.Delete(kAnyPath, unrouted);
  server.set_pre_routing_handler(screenRequest);
  server.set_expect_100_continue_handler(answerExpectContinue);
  server.set_error_handler(handleHttpError);
  server.set_post_routing_handler([](const httplib::Request&, httplib::Response& response) {
    // The library offers ranges on its answers to HEAD; no answer has parts.
    response.headers.erase("Accept-Ranges");
    withdrawKeepAliveFromClosingAnswer(response);
  });
}
