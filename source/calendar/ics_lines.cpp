#include "calendar/ics_lines.h"

#include <algorithm>
#include <string_view>
#include <utility>

namespace {

// Line ends to LF and folded lines joined, in one pass. A CR LF pair and a
// lone CR both count as one LF; an LF followed by one space or tab is removed
// together with that one blank.
std::string unfoldLines(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  const std::size_t n = text.size();
  std::size_t i = 0;
  while (i < n) {
    char c = text[i];
    if (c != '\r' && c != '\n') {
      out.push_back(c);
      ++i;
      continue;
    }
    // One line end: CR LF, CR or LF.
    i += (c == '\r' && i + 1 < n && text[i + 1] == '\n') ? 2 : 1;
    if (i < n && (text[i] == ' ' || text[i] == '\t')) {
      ++i;  // a continuation: drop the line end and its one blank
    } else {
      out.push_back('\n');
    }
  }
  return out;
}

bool startsWith(std::string_view line, std::string_view prefix) {
  return line.size() >= prefix.size() && line.compare(0, prefix.size(), prefix) == 0;
}

void storeProperty(IcsEvent& event, std::string_view line, const std::vector<std::string>* onlyNames) {
  // The value separator is the first ':' outside double quotes. Quotes
  // group parameter values only: before the first ';' a '"' is a plain byte
  // of the name.
  bool inParameters = false;
  bool quoted = false;
  std::size_t colon = std::string_view::npos;
  for (std::size_t i = 0; i < line.size(); ++i) {
    char c = line[i];
    if (c == ';') {
      inParameters = true;
    } else if (c == '"' && inParameters) {
      quoted = !quoted;
    } else if (c == ':' && !quoted) {
      colon = i;
      break;
    }
  }
  if (colon == std::string_view::npos) return;
  std::string_view namePart = line.substr(0, colon);
  std::string_view value = line.substr(colon + 1);
  std::size_t semi = namePart.find(';');
  std::string_view parameters;
  if (semi != std::string_view::npos) {
    parameters = namePart.substr(semi + 1);
    namePart = namePart.substr(0, semi);
  }
  std::string name(namePart);
  for (char& c : name) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  if (onlyNames && !std::binary_search(onlyNames->begin(), onlyNames->end(), name)) return;
  if (name == "EXDATE") {
    if (value.empty()) return;
    std::vector<IcsProperty>& list = event[name];
    for (std::string& piece : splitByChar(std::string(value), ',')) {
      list.push_back(IcsProperty{std::string(parameters), std::move(piece)});
    }
    return;
  }
  std::vector<IcsProperty>& list = event[name];
  list.clear();
  list.push_back(IcsProperty{std::string(parameters), std::string(value)});
}

}  // namespace

std::vector<IcsEvent> readIcsEvents(const std::string& text, const std::vector<std::string>* onlyNames) {
  const std::string unfolded = unfoldLines(text);
  std::vector<IcsEvent> events;
  IcsEvent current;
  bool inEvent = false;
  int depth = 0;
  std::string_view all(unfolded);
  std::size_t pos = 0;
  while (pos < all.size()) {
    std::size_t end = all.find('\n', pos);
    if (end == std::string_view::npos) end = all.size();
    std::string_view line = all.substr(pos, end - pos);
    pos = end + 1;

    if (line == "BEGIN:VEVENT") {
      current.clear();
      inEvent = true;
      depth = 0;
    } else if (line == "END:VEVENT") {
      // The event is finished and `current` is emptied by the next BEGIN, so
      // it can be moved rather than copied.
      if (inEvent) events.push_back(std::move(current));
      current.clear();
      inEvent = false;
      depth = 0;
    } else if (!inEvent) {
      continue;
    } else if (startsWith(line, "BEGIN:")) {
      ++depth;
    } else if (startsWith(line, "END:")) {
      if (depth > 0) --depth;
    } else if (depth == 0) {
      storeProperty(current, line, onlyNames);
    }
  }
  return events;
}

const std::string& propertyValue(const IcsEvent& event, const std::string& name) {
  static const std::string empty;
  auto it = event.find(name);
  if (it == event.end() || it->second.empty()) return empty;
  return it->second.front().value;
}

std::vector<std::string> splitByChar(const std::string& text, char delimiter) {
  std::vector<std::string> pieces;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t next = text.find(delimiter, start);
    if (next == std::string::npos) {
      pieces.push_back(text.substr(start));
      break;
    }
    pieces.push_back(text.substr(start, next - start));
    start = next + 1;
  }
  return pieces;
}
