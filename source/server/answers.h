#pragma once
// The common shape of every HTTP answer: never cached, JSON written compactly.
#include <httplib.h>

#include <nlohmann/json.hpp>

// Adds Cache-Control: no-store.
void setNoStore(httplib::Response& response);
// Status, no-store and the compact JSON body with its content type.
void sendJson(httplib::Response& response, int status, const nlohmann::json& value);

// Makes the answer the last one on its connection: "Connection: close" tells
// the browser, and endClosingConnection makes it true on the server's side.
// Used where part of a request is left unread, which must never be taken for
// the next request.
void closeConnection(httplib::Response& response);
// Run just before the library writes an answer. The library ends a
// connection by itself only when writing an answer fails, so an answer that
// says "Connection: close" is written through a provider that reports failure
// after its last byte: the browser gets the whole answer, and the server stops
// reading from that connection.
void endClosingConnection(httplib::Response& response);
