#include "calendar/ics_lines.h"

#include <algorithm>
#include <string_view>
#include <utility>

#include "text/text_util.h"

namespace {

// Line ends to LF and folded lines joined, in one pass. A CR LF pair and a
// lone CR both count as one LF; an LF followed by one space or tab is removed
// together with that one blank.
}  // namespace

std::string unfoldIcsLines(const std::string& text) {
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

namespace {

void storeProperty(IcsEvent& event, std::string_view line, const std::vector<std::string>* onlyNames,
                   bool wholeExdates) {
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
  const std::string name = toUpperAscii(std::string(namePart));
  if (onlyNames && !std::binary_search(onlyNames->begin(), onlyNames->end(), name)) return;
  if (name == "EXDATE") {
    if (value.empty()) return;
    std::vector<IcsProperty>& list = event[name];
    if (wholeExdates) {
      list.push_back(IcsProperty{std::string(parameters), std::string(value)});
      return;
    }
    forEachPiece(value, ',', [&](std::string_view piece) {
      list.push_back(IcsProperty{std::string(parameters), std::string(piece)});
    });
    return;
  }
  std::vector<IcsProperty>& list = event[name];
  list.clear();
  list.push_back(IcsProperty{std::string(parameters), std::string(value)});
}

}  // namespace

void forEachIcsEvent(const std::string& unfolded, const std::vector<std::string>* onlyNames,
                     const std::function<void(const IcsEvent&)>& visit, bool wholeExdates) {
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
      if (inEvent) visit(current);
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
      storeProperty(current, line, onlyNames, wholeExdates);
    }
  }
}

std::vector<IcsEvent> readIcsEvents(const std::string& text, const std::vector<std::string>* onlyNames) {
  std::vector<IcsEvent> events;
  forEachIcsEvent(unfoldIcsLines(text), onlyNames, [&events](const IcsEvent& event) { events.push_back(event); });
  return events;
}

const std::string& propertyValue(const IcsEvent& event, const std::string& name) {
  static const std::string empty;
  auto it = event.find(name);
  if (it == event.end() || it->second.empty()) return empty;
  return it->second.front().value;
}

void forEachPiece(std::string_view text, char delimiter, const std::function<void(std::string_view)>& visit) {
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t next = text.find(delimiter, start);
    if (next == std::string_view::npos) {
      visit(text.substr(start));
      break;
    }
    visit(text.substr(start, next - start));
    start = next + 1;
  }
}

std::vector<std::string> splitByChar(const std::string& text, char delimiter) {
  std::vector<std::string> pieces;
  forEachPiece(text, delimiter, [&pieces](std::string_view piece) { pieces.emplace_back(piece); });
  return pieces;
}
