#pragma once
// The first stage of the calendar reader: iCalendar text to one property map
// per VEVENT block, in file order.
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

// One stored property line: the raw parameter text and the raw value.
struct IcsProperty {
  std::string parameters;
  std::string value;
};

// Property name (upper-cased) to its lines. "EXDATE" keeps one entry per
// comma-separated piece of every EXDATE line; every other name keeps only its
// last line.
using IcsEvent = std::map<std::string, std::vector<IcsProperty>, std::less<>>;

// The events of a calendar text, in the order of their END:VEVENT lines.
// With `onlyNames` (upper case, sorted), every other property is left out:
// the reader itself needs only a few, and most lines of a calendar are not
// among them.
std::vector<IcsEvent> readIcsEvents(const std::string& text, const std::vector<std::string>* onlyNames = nullptr);

// The same, one event at a time, from text whose lines `unfoldIcsLines` has
// already joined: `visit` sees each event when its END:VEVENT line is read,
// so a large calendar never holds all of its events at once.
std::string unfoldIcsLines(const std::string& text);
// With `wholeExdates`, each EXDATE line is kept as one entry, its value not
// cut at ",", for a reader that walks the pieces itself.
void forEachIcsEvent(const std::string& unfolded, const std::vector<std::string>* onlyNames,
                     const std::function<void(const IcsEvent&)>& visit, bool wholeExdates = false);

// The value of the first entry under `name` (upper case), or "" when absent.
const std::string& propertyValue(const IcsEvent& event, const std::string& name);

// The pieces between occurrences of `delimiter`; "" gives no piece, and one
// delimiter at the very end gives no trailing empty piece.
std::vector<std::string> splitByChar(const std::string& text, char delimiter);
// The same pieces, each seen in turn without being copied.
void forEachPiece(std::string_view text, char delimiter, const std::function<void(std::string_view)>& visit);
