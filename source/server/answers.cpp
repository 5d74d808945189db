#include "server/answers.h"

#include <memory>

#include "server/json_text.h"

void setNoStore(httplib::Response& response) { response.set_header("Cache-Control", "no-store"); }

void sendJson(httplib::Response& response, int status, const nlohmann::json& value) {
  response.status = status;
  setNoStore(response);
  response.set_content(dumpCompact(value), "application/json; charset=utf-8");
}

void closeConnection(httplib::Response& response) { response.set_header("Connection", "close"); }

void endClosingConnection(httplib::Response& response) {
  // Answers without a body (the event stream's provider among them) are left
  // as they are; the library closes after its own "Connection: close" anyway.
  if (response.body.empty() || response.get_header_value("Connection") != "close") return;
  // The library offers keep-alive on every answer it does not close itself.
  response.headers.erase("Keep-Alive");
  auto body = std::make_shared<const std::string>(std::move(response.body));
  response.body.clear();
  const std::string type = response.get_header_value("Content-Type");
  // The provider adds its own Content-Type header.
  response.headers.erase("Content-Type");
  response.set_content_provider(body->size(), type,
                                [body](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
                                  sink.write(body->data() + offset, length);
                                  return false;
                                });
}
