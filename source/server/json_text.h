#pragma once
// How the program turns JSON values into text and text into JSON values.
#include <nlohmann/json.hpp>
#include <string>

// Deepest nesting of arrays and objects accepted inside one item. Copying and
// writing a JSON value recurse once per level, so this bound is what keeps a
// hostile or corrupt value from exhausting a thread's stack.
constexpr int kMaxItemDepth = 200;
// The same bound for a whole state document: document, section, item.
constexpr int kMaxDocumentDepth = kMaxItemDepth + 2;

// Compact, non-ASCII kept as UTF-8, invalid UTF-8 replaced by U+FFFD.
std::string dumpCompact(const nlohmann::json& value);
// As dumpCompact, indented by one space per level (the data file's layout).
std::string dumpIndented(const nlohmann::json& value);

// Thrown by parseBounded when the text nests deeper than allowed.
struct JsonTooDeep : nlohmann::json::exception {
  JsonTooDeep();
};

// Strict parse (no comments, nothing after the value) that throws JsonTooDeep
// as soon as arrays and objects nest more than `maxDepth` levels deep (the
// outermost value is level 1), before the deep value is built.
nlohmann::json parseBounded(const std::string& text, int maxDepth);
