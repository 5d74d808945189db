// Reading iCalendar text into event property maps.
#include <gtest/gtest.h>

#include "calendar/ics_lines.h"

namespace {

std::string parametersOf(const IcsEvent& event, const std::string& name) {
  auto it = event.find(name);
  return it == event.end() || it->second.empty() ? "<absent>" : it->second.front().parameters;
}

}  // namespace

TEST(IcsLines, UnfoldsContinuationLinesAfterAnyLineEnd) {
  struct Case {
    const char* name;
    std::string text;
    std::string summary;
  } cases[] = {
      {"CR LF and one space", "BEGIN:VEVENT\r\nSUMMARY:Lunch\r\n with Ann\r\nEND:VEVENT\r\n", "Lunchwith Ann"},
      {"lone CR and a tab", "BEGIN:VEVENT\rSUMMARY:Lunch\r\twith Ann\rEND:VEVENT\r", "Lunchwith Ann"},
      {"two spaces keep one", "BEGIN:VEVENT\nSUMMARY:Lunch\n  with Ann\nEND:VEVENT", "Lunch with Ann"},
      {"two folds in a row", "BEGIN:VEVENT\nSUMMARY:a\n b\n\tc\nEND:VEVENT\n", "abc"},
      {"no LF at the end", "BEGIN:VEVENT\nSUMMARY:x\nEND:VEVENT", "x"},
  };
  for (const Case& c : cases) {
    std::vector<IcsEvent> events = readIcsEvents(c.text);
    ASSERT_EQ(events.size(), 1u) << c.name;
    EXPECT_EQ(propertyValue(events[0], "SUMMARY"), c.summary) << c.name;
  }
}

TEST(IcsLines, OnlyExactBeginAndEndLinesMakeEvents) {
  struct Case {
    const char* name;
    std::string text;
    std::vector<std::string> summaries;
  } cases[] = {
      {"lower case", "begin:vevent\nSUMMARY:a\nEND:VEVENT\n", {}},
      {"blank after", "BEGIN:VEVENT \nSUMMARY:a\nEND:VEVENT\n", {}},
      {"blank before", " BEGIN:VEVENT\nSUMMARY:a\nEND:VEVENT\n", {}},
      {"calendar and time zone lines ignored",
       "BEGIN:VCALENDAR\nVERSION:2.0\nPRODID:x\nSUMMARY:cal\nBEGIN:VTIMEZONE\nTZID:Z\nEND:VTIMEZONE\n"
       "BEGIN:VEVENT\nSUMMARY:a\nEND:VEVENT\nEND:VCALENDAR\n",
       {"a"}},
      {"unfinished event dropped by the next BEGIN", "BEGIN:VEVENT\nSUMMARY:A\nBEGIN:VEVENT\nSUMMARY:B\nEND:VEVENT\n", {"B"}},
      {"END outside an event", "END:VEVENT\nBEGIN:VEVENT\nSUMMARY:a\nEND:VEVENT\nEND:VEVENT\n", {"a"}},
      {"last event never closed", "BEGIN:VEVENT\nSUMMARY:a\nEND:VEVENT\nBEGIN:VEVENT\nSUMMARY:b\n", {"a"}},
      {"file order", "BEGIN:VEVENT\nSUMMARY:1\nEND:VEVENT\nBEGIN:VEVENT\nSUMMARY:2\nEND:VEVENT\n", {"1", "2"}},
      {"empty text", "", {}},
  };
  for (const Case& c : cases) {
    std::vector<std::string> got;
    for (const IcsEvent& e : readIcsEvents(c.text)) got.push_back(propertyValue(e, "SUMMARY"));
    EXPECT_EQ(got, c.summaries) << c.name;
  }
}

TEST(IcsLines, NestedComponentsAreSkipped) {
  std::vector<IcsEvent> events = readIcsEvents(
      "BEGIN:VEVENT\nUID:u1\nSUMMARY:Dentist\nBEGIN:VALARM\nSUMMARY:Alarm\nUID:alarm\nBEGIN:X\nEND:X\n"
      "END:VALARM\nDTSTART:20261215\nEND:VEVENT\n");
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(propertyValue(events[0], "SUMMARY"), "Dentist");
  EXPECT_EQ(propertyValue(events[0], "UID"), "u1");
  EXPECT_EQ(propertyValue(events[0], "DTSTART"), "20261215");  // back at depth 0 after END:VALARM
  EXPECT_EQ(events[0].count("BEGIN"), 0u);
  EXPECT_EQ(events[0].count("END"), 0u);
}

TEST(IcsLines, PropertyNamesParametersAndValues) {
  std::vector<IcsEvent> events = readIcsEvents(
      "BEGIN:VEVENT\n"
      "SUMMARY:first\n"
      "summary;language=en:Hi\n"
      "DTSTART;TZID=\"Zone: with colon\":20240101T100000\n"
      "X-NOTE without colon\n"
      ":nameless\n"
      "DESCRIPTION: keeps blanks \\n raw \n"
      "X-A\"B:quote in the name\n"
      "X-C\"D;P=\"q:r\":quoted parameter after one\n"
      "END:VEVENT\n");
  ASSERT_EQ(events.size(), 1u);
  const IcsEvent& e = events[0];
  EXPECT_EQ(propertyValue(e, "SUMMARY"), "Hi");  // the last line of a name wins
  EXPECT_EQ(parametersOf(e, "SUMMARY"), "language=en");
  EXPECT_EQ(propertyValue(e, "DTSTART"), "20240101T100000");
  EXPECT_EQ(parametersOf(e, "DTSTART"), "TZID=\"Zone: with colon\"");
  EXPECT_EQ(e.count("X-NOTE WITHOUT COLON"), 0u);
  EXPECT_EQ(propertyValue(e, ""), "nameless");
  EXPECT_EQ(propertyValue(e, "DESCRIPTION"), " keeps blanks \\n raw ");
  EXPECT_EQ(propertyValue(e, "ABSENT"), "");
  // Quotes group only parameter values; one in the name is a plain byte.
  EXPECT_EQ(propertyValue(e, "X-A\"B"), "quote in the name");
  EXPECT_EQ(propertyValue(e, "X-C\"D"), "quoted parameter after one");
  EXPECT_EQ(parametersOf(e, "X-C\"D"), "P=\"q:r\"");
}

TEST(IcsLines, ExdatePiecesAccumulateAcrossLines) {
  std::vector<IcsEvent> events = readIcsEvents(
      "BEGIN:VEVENT\nEXDATE:20240102\nEXDATE;VALUE=DATE:20240103,20240104\nEXDATE:\nexdate:,x,\nEND:VEVENT\n");
  ASSERT_EQ(events.size(), 1u);
  const std::vector<IcsProperty>& list = events[0].at("EXDATE");
  std::vector<std::pair<std::string, std::string>> got;
  for (const IcsProperty& p : list) got.emplace_back(p.parameters, p.value);
  std::vector<std::pair<std::string, std::string>> want = {
      {"", "20240102"}, {"VALUE=DATE", "20240103"}, {"VALUE=DATE", "20240104"}, {"", ""}, {"", "x"}};
  EXPECT_EQ(got, want);
  EXPECT_EQ(propertyValue(events[0], "EXDATE"), "20240102");
}

TEST(SplitByChar, KeepsInnerEmptyPiecesButNoTrailingOne) {
  struct Case {
    std::string text;
    char delimiter;
    std::vector<std::string> pieces;
  } cases[] = {
      {"FREQ=WEEKLY;BYDAY=MO,WE;", ';', {"FREQ=WEEKLY", "BYDAY=MO,WE"}},
      {"", ',', {}},
      {"a,,b,", ',', {"a", "", "b"}},
      {",a", ',', {"", "a"}},
      {",", ',', {""}},
      {",,", ',', {"", ""}},
      {"MO, WE", ',', {"MO", " WE"}},
      {"abc", ',', {"abc"}},
  };
  for (const Case& c : cases) EXPECT_EQ(splitByChar(c.text, c.delimiter), c.pieces) << c.text;
}

TEST(IcsLines, OnlyTheNamesAskedForAreKept) {
  const std::vector<std::string> names = {"EXDATE", "SUMMARY"};
  std::vector<IcsEvent> events = readIcsEvents(
      "BEGIN:VEVENT\nsummary:a\nLOCATION:hall\nEXDATE:1,2\nDESCRIPTION:long\nEXDATE:3\nEND:VEVENT\n", &names);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].size(), 2u);
  EXPECT_EQ(propertyValue(events[0], "SUMMARY"), "a");
  EXPECT_EQ(events[0].at("EXDATE").size(), 3u);
  EXPECT_EQ(propertyValue(events[0], "LOCATION"), "");
}
