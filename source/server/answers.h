#pragma once
// The common shape of every HTTP answer: never cached, JSON written compactly.
#include <httplib.h>

#include <nlohmann/json.hpp>

// Adds Cache-Control: no-store.
void setNoStore(httplib::Response& response);
// Status, no-store and the compact JSON body with its content type.
void sendJson(httplib::Response& response, int status, const nlohmann::json& value);
