#include "server/answers.h"

#include "server/json_text.h"

void setNoStore(httplib::Response& response) { response.set_header("Cache-Control", "no-store"); }

void sendJson(httplib::Response& response, int status, const nlohmann::json& value) {
  response.status = status;
  setNoStore(response);
  response.set_content(dumpCompact(value), "application/json; charset=utf-8");
}

void closeConnection(httplib::Response& response) { response.set_header("Connection", "close"); }

void withdrawKeepAliveFromClosingAnswer(httplib::Response& response) {
  if (response.get_header_value("Connection") == "close") response.headers.erase("Keep-Alive");
}
