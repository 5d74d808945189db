#include "server/json_text.h"

using nlohmann::json;

std::string dumpCompact(const json& value) {
  return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::string dumpIndented(const json& value) {
  return value.dump(1, ' ', false, json::error_handler_t::replace);
}

JsonTooDeep::JsonTooDeep() : json::exception(0, "JSON nests too deeply") {}

namespace {

// The deepest nesting of arrays and objects in `text`, or maxDepth + 1 as soon
// as it is known to be deeper. Brackets inside strings do not count; a
// backslash in a string hides the byte after it, as it does for the parser.
// Wherever the text is valid JSON this is the parser's own depth, so the
// parser, which runs only when this passes, never builds a deeper value.
int nestingDepth(const std::string& text, int maxDepth) {
  int depth = 0;
  int deepest = 0;
  bool inString = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (inString) {
      if (c == '\\') {
        ++i;
      } else if (c == '"') {
        inString = false;
      }
    } else if (c == '"') {
      inString = true;
    } else if (c == '[' || c == '{') {
      if (++depth > deepest) {
        deepest = depth;
        if (deepest > maxDepth) return deepest;
      }
    } else if ((c == ']' || c == '}') && depth > 0) {
      --depth;
    }
  }
  return deepest;
}

}  // namespace

json parseBounded(const std::string& text, int maxDepth) {
  // The depth is checked by a scan of its own rather than by the parser's
  // callback: with a callback the library searches the enclosing container
  // after every object inside it closes, which makes a text of many small
  // objects take time that grows with the square of its size.
  if (nestingDepth(text, maxDepth) > maxDepth) throw JsonTooDeep();
  return json::parse(text, nullptr, true, false);
}
