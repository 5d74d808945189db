#pragma once
// The common shape of every HTTP answer: never cached, JSON written compactly.
#include <httplib.h>

#include <nlohmann/json.hpp>

// Adds Cache-Control: no-store.
void setNoStore(httplib::Response& response);
// Status, no-store and the compact JSON body with its content type.
void sendJson(httplib::Response& response, int status, const nlohmann::json& value);

// Makes the answer the last one on its connection: "Connection: close" tells
// the browser, and the server's connection loop ends every connection whose
// answer says so (server/connections.h). Used where part of a request is left
// unread, which must never be taken for the next request.
void closeConnection(httplib::Response& response);
// Run just before the library writes an answer: the library offers
// keep-alive on every answer it does not close itself, which an answer that
// says "Connection: close" must not.
void withdrawKeepAliveFromClosingAnswer(httplib::Response& response);
