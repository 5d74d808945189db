#include "server/json_text.h"

using nlohmann::json;

std::string dumpCompact(const json& value) {
  return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::string dumpIndented(const json& value) {
  return value.dump(1, ' ', false, json::error_handler_t::replace);
}

JsonTooDeep::JsonTooDeep() : json::exception(0, "JSON nests too deeply") {}

json parseBounded(const std::string& text, int maxDepth) {
  // The callback's depth is the number of containers already open around the
  // one starting, so a top-level array or object starts at depth 0.
  json::parser_callback_t limit = [maxDepth](int depth, json::parse_event_t event, json&) {
    if ((event == json::parse_event_t::object_start || event == json::parse_event_t::array_start) &&
        depth >= maxDepth) {
      throw JsonTooDeep();
    }
    return true;
  };
  return json::parse(text, limit, true, false);
}
