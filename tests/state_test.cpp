#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <thread>

#include "server/change_hub.h"
#include "server/json_text.h"
#include "server/state.h"

using nlohmann::json;

namespace {

struct StateTest : ::testing::Test {
  void SetUp() override {
    resetStateSections();
    stateDirty = false;
  }
  // The text of the newest change event.
  std::string lastEvent() {
    std::lock_guard<std::mutex> lock(changeHub.mutex);
    return changeHub.log.back().text;
  }
};

TEST_F(StateTest, ChangeEventsAreCompactSortedUtf8Texts) {
  struct Case {
    std::string section, id;
    std::optional<json> value;
    std::string event;
  } cases[] = {
      {"events", "abc", json{{"title", "x"}, {"a", 1}}, R"({"coll":"events","data":{"a":1,"title":"x"},"id":"abc"})"},
      {"events", "cafe", json{{"title", "Caf\xC3\xA9"}}, "{\"coll\":\"events\",\"data\":{\"title\":\"Caf\xC3\xA9\"},\"id\":\"cafe\"}"},
      {"feedEvents", "f", json{{"t", "bad \xFF byte"}}, "{\"coll\":\"feedEvents\",\"data\":{\"t\":\"bad \xEF\xBF\xBD byte\"},\"id\":\"f\"}"},
      {"events", "nothing-here", std::nullopt, R"({"coll":"events","data":null,"id":"nothing-here"})"},
      {"lists", "say \"hi\"", json{{"n", nullptr}}, R"({"coll":"lists","data":{"n":null},"id":"say \"hi\""})"},
      {"lists", "say \"hi\"", std::nullopt, R"({"coll":"lists","data":null,"id":"say \"hi\""})"},
  };
  for (const auto& c : cases) {
    stateDirty = false;
    std::uint64_t before = changeHub.currentSeq();
    applyChange(c.section, c.id, c.value ? &*c.value : nullptr);
    EXPECT_EQ(changeHub.currentSeq(), before + 1);
    EXPECT_EQ(lastEvent(), c.event);
    EXPECT_TRUE(stateDirty);
  }
  // Deleting an absent item changed nothing in the section; a present one is gone.
  EXPECT_EQ(getItem("events", "nothing-here"), json());
  EXPECT_EQ(stateDoc["lists"], json::object());
  // The stored item keeps its bytes; only the text replaces them.
  EXPECT_EQ(getItem("feedEvents", "f")["t"], "bad \xFF byte");
}

TEST_F(StateTest, WritesReplaceWholeAndGetItemCopies) {
  json first{{"title", "old"}, {"place", "kitchen"}};
  json second{{"title", "new"}};
  applyChange("events", "e1", &first);
  applyChange("events", "e1", &second);
  json copy = getItem("events", "e1");
  EXPECT_EQ(copy, second);
  copy["title"] = "changed by caller";
  EXPECT_EQ(getItem("events", "e1"), second);
  EXPECT_TRUE(getItem("settings", "main").is_null());
  EXPECT_TRUE(getItem("nosuchsection", "x").is_null());
}

TEST_F(StateTest, ConcurrentWritesPublishInTheOrderTheyApplied) {
  std::vector<std::thread> writers;
  for (int t = 0; t < 4; ++t) {
    writers.emplace_back([t] {
      for (int i = 0; i < 100; ++i) {
        json v{{"writer", t}, {"i", i}};
        applyChange("events", "shared", &v);
      }
    });
  }
  for (auto& w : writers) w.join();
  json expected = getItem("events", "shared");
  EXPECT_EQ(lastEvent(), dumpCompact(json{{"coll", "events"}, {"id", "shared"}, {"data", expected}}));
}

TEST_F(StateTest, AMovedValueIsStoredWithoutACopyAndHandsBackThePreviousItem) {
  json first{{"title", "old"}};
  applyChange("events", "m", &first);
  json second{{"title", "new"}, {"n", 2}};
  applyChange("events", "m", std::move(second));
  EXPECT_EQ(getItem("events", "m"), json({{"title", "new"}, {"n", 2}}));
  EXPECT_EQ(second, first);
  EXPECT_EQ(lastEvent(), R"({"coll":"events","data":{"n":2,"title":"new"},"id":"m"})");
  EXPECT_TRUE(stateDirty);
}

// Closes the state, tries every kind of write, and ends the process with 0
// when each was refused without a trace.
void writeAfterClosing() {
  json kept{{"t", 1}};
  applyChange("events", "kept", &kept);
  stateDirty = false;
  const std::uint64_t seq = changeHub.currentSeq();
  closeStateForWrites();
  json item{{"t", 2}};
  const bool refused = !applyChange("events", "kept", &item) && !applyChange("events", "new", json(item)) &&
                       !applyChange("events", "kept", nullptr);
  const bool untouched = getItem("events", "kept") == kept && getItem("events", "new").is_null() && !stateDirty &&
                         changeHub.currentSeq() == seq && item == json{{"t", 2}};
  std::_Exit(refused && untouched ? 0 : 1);
}

// Once the program stops, no write is taken: nothing stored, nothing
// published, no save asked for. In a child process: the refusal is for good.
TEST_F(StateTest, WritesAreRefusedOnceTheStateIsClosed) {
  EXPECT_EXIT(writeAfterClosing(), ::testing::ExitedWithCode(0), "");
}

TEST(JsonText, IndentedTextIsTheDataFileLayout) {
  json doc{{"b", json::array()}, {"a", {{"x", 1}}}, {"c", json::object()}};
  EXPECT_EQ(dumpIndented(doc), "{\n \"a\": {\n  \"x\": 1\n },\n \"b\": [],\n \"c\": {}\n}");
}

std::string nested(int depth) { return std::string(depth, '[') + std::string(depth, ']'); }

TEST(JsonText, ParseRefusesNestingBeyondTheBound) {
  EXPECT_NO_THROW(parseBounded(nested(kMaxItemDepth), kMaxItemDepth));
  EXPECT_THROW(parseBounded(nested(kMaxItemDepth + 1), kMaxItemDepth), JsonTooDeep);
  // A million levels is refused quickly and without exhausting the stack.
  EXPECT_THROW(parseBounded(nested(1000000), kMaxItemDepth), JsonTooDeep);
  // Still the strict parser: comments, trailing text and bad UTF-8 fail.
  for (const char* bad : {"{} x", "{/*c*/}", "{\"a\":\"\xFF\"}", "", "{"}) {
    EXPECT_THROW(parseBounded(bad, kMaxItemDepth), json::exception) << bad;
  }
  EXPECT_EQ(parseBounded(" {\"a\":[{}]} ", kMaxItemDepth), json({{"a", {json::object()}}}));
  // A text that fails before it nests too deep fails as the parser says.
  EXPECT_THROW(parseBounded("[1 " + nested(1000), kMaxItemDepth), json::parse_error);
}

// True when both hold the same value with the same types all the way down
// (json's == takes 1 and 1.0, or a signed and an unsigned 5, for equal).
bool sameValue(const json& a, const json& b) {
  if (a.type() != b.type() || a.size() != b.size()) return false;
  if (a.is_array()) {
    for (std::size_t i = 0; i < a.size(); ++i) {
      if (!sameValue(a[i], b[i])) return false;
    }
    return true;
  }
  if (a.is_object()) {
    for (auto i = a.begin(), j = b.begin(); i != a.end(); ++i, ++j) {
      if (i.key() != j.key() || !sameValue(i.value(), j.value())) return false;
    }
    return true;
  }
  return a == b;
}

TEST(JsonText, ParseGivesTheLibrarysOwnValueOrError) {
  // Every text within the bound parses to exactly what json::parse gives, and
  // every text it refuses fails with the same exception type and message; the
  // only difference is the depth bound (3 here).
  const std::string deepByObjects = R"({"a":{"b":{"c":{}}}})";
  const char* const texts[] = {
      // valid, every kind of value, at the top and inside
      R"({"a":1,"b":[true,false,null],"c":"x","d":-2.5,"e":{}})",
      "null",
      "\"text\"",
      "0",
      "[]",
      " \t\r\n{ \"a\" : [ 1 , 2 ] } \n",
      // exactly at the bound
      "[[[1]]]",
      R"({"a":{"b":{"c":1}}})",
      R"([{"a":[]}])",
      // duplicate keys: the last one wins, wherever the first one was
      R"({"a":1,"a":2})",
      R"({"a":{"x":1},"b":0,"a":[2]})",
      R"({"k":{"a":1,"a":{}}})",
      // numbers at and past the edges of the integer types, and floats
      "18446744073709551615",
      "18446744073709551616",
      "9223372036854775807",
      "-9223372036854775808",
      "-9223372036854775809",
      "123456789012345678901234567890",
      "[-0,-0.0,0.1,1E2,1e-2,2.5e+3]",
      "1.5e-400",
      "1e400",
      "[-1e400]",
      // escapes and UTF-8
      R"(["\u00e9\u20AC","\ud83d\ude00","\u0000","\"\\\/\b\f\n\r\t"])",
      "\"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\"",
      R"({"\u0061":1,"a":2})",
      "\xEF\xBB\xBF{\"bom\":1}",
      // invalid
      "",
      " ",
      "{",
      "}",
      "[1,]",
      R"({"a":})",
      R"({"a" 1})",
      R"({1:2})",
      "'a'",
      "nul",
      "tru",
      "01",
      "1.",
      "-",
      ".5",
      "+1",
      "\"\x01\"",
      "\"a",
      R"("\ud83d")",
      R"("\ude00")",
      R"("\x")",
      R"("\u12")",
      "\"\xFF\"",
      "\"\xC0\xAF\"",
      "{/*c*/}",
      "[1]//c",
      "NaN",
      "[Infinity]",
      // trailing text
      "{} x",
      "[]]",
      "1 2",
      "{}{}",
      "null,",
  };
  for (const char* text : texts) {
    json expected;
    std::string expectedError = "none";
    try {
      expected = json::parse(text);
    } catch (const json::parse_error& e) {
      expectedError = std::string("parse_error ") + e.what();
    } catch (const json::out_of_range& e) {
      expectedError = std::string("out_of_range ") + e.what();
    }
    std::string error = "none";
    try {
      json value = parseBounded(text, 3);
      EXPECT_TRUE(sameValue(value, expected)) << text << " gave " << value.dump() << " for " << expected.dump();
    } catch (const json::parse_error& e) {
      error = std::string("parse_error ") + e.what();
    } catch (const json::out_of_range& e) {
      error = std::string("out_of_range ") + e.what();
    }
    EXPECT_EQ(error, expectedError) << text;
  }
  // Past the bound: refused before the deep value is built, with its own message.
  for (const std::string& tooDeep : {std::string("[[[[1]]]]"), deepByObjects, std::string(R"([{"a":[{}]}])")}) {
    try {
      parseBounded(tooDeep, 3);
      ADD_FAILURE() << tooDeep << " was taken";
    } catch (const JsonTooDeep& e) {
      EXPECT_STREQ(e.what(), "JSON nests too deeply") << tooDeep;
    }
    EXPECT_TRUE(sameValue(parseBounded(tooDeep, 4), json::parse(tooDeep))) << tooDeep;
  }
}

TEST(JsonText, DepthCountsOnlyBracketsOutsideTexts) {
  // Each text nests `depth` levels; a bound of depth passes, depth - 1 refuses.
  struct Case {
    const char* text;
    int depth;
  } cases[] = {
      {R"({"a":[{"b":[]}]})", 4},
      {R"(["[[[[{{{{"])", 1},
      {R"({"[[[[":"}}]]{{"})", 1},
      {R"(["a\"[[[["])", 1},               // an escaped quotation mark does not end the text
      {R"(["a\\",[["x"]]])", 3},           // an escaped backslash does not hide the closing quote
      {R"(["\u005B\u007B",{"k":"\\\"["}])", 2},
      {"[1,[2,[3]],[4],{\"x\":{\"y\":{}}}]", 4},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(parseBounded(c.text, c.depth), json::parse(c.text)) << c.text;
    EXPECT_THROW(parseBounded(c.text, c.depth - 1), JsonTooDeep) << c.text;
  }
}

}  // namespace
