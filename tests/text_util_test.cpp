#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

#include <unistd.h>

#include "text/text_util.h"

// trimBlanks itself is covered where the console tests read it.

TEST(TextUtil, AsciiCaseLeavesOtherBytes) {
  const std::string mixed = std::string("Cancelled \xC3\x84-z@[`{", 18) + std::string(1, '\0');
  EXPECT_EQ(toLowerAscii(mixed), std::string("cancelled \xC3\x84-z@[`{", 18) + std::string(1, '\0'));
  EXPECT_EQ(toUpperAscii(mixed), std::string("CANCELLED \xC3\x84-Z@[`{", 18) + std::string(1, '\0'));
  EXPECT_EQ(toLowerAscii(""), "");
}

TEST(TextUtil, StartsWith) {
  EXPECT_TRUE(startsWith("BEGIN:VEVENT", "BEGIN:"));
  EXPECT_TRUE(startsWith("x", ""));
  EXPECT_FALSE(startsWith("BEGIN", "BEGIN:"));
  EXPECT_FALSE(startsWith("begin:", "BEGIN:"));
}

TEST(TextUtil, CharacterClasses) {
  for (int c = 0; c < 256; ++c) {
    const char ch = static_cast<char>(c);
    EXPECT_EQ(isBlank(ch), c == ' ' || c == '\t' || c == '\r' || c == '\n') << c;
    EXPECT_EQ(isAsciiSpace(ch), c == ' ' || (c >= 9 && c <= 13)) << c;
    EXPECT_EQ(isAsciiDigit(ch), c >= '0' && c <= '9') << c;
    EXPECT_EQ(isAsciiUpper(ch), c >= 'A' && c <= 'Z') << c;
  }
}

TEST(TextUtil, ReadLeadingIntegerReadsAsAtoiDoesAndSaturates) {
  const std::int64_t limit = std::int64_t{INT_MAX} + 1;
  struct Case {
    const char* text;
    std::int64_t value;
  } cases[] = {
      {"", 0},
      {"x12", 0},
      {"-", 0},
      {"42", 42},
      {" \t\v\f\r\n+7x", 7},
      {"-007", -7},
      {"12 34", 12},
      {"+-1", 0},
      {"2147483647", INT_MAX},
      {"2147483648", limit},
      {"-2147483648", -limit},
      {"99999999999999999999999999", limit},
      {"-99999999999999999999999999", -limit},
  };
  for (const Case& c : cases) EXPECT_EQ(readLeadingInteger(c.text, limit), c.value) << c.text;
  EXPECT_EQ(readLeadingInteger("12345", 100), 100);
  EXPECT_EQ(readLeadingInteger("9", 5), 5);
}

TEST(TextUtil, ReadWholeFileGivesExactBytesOrLeavesOutAlone) {
  namespace fs = std::filesystem;
  const fs::path folder = fs::temp_directory_path() / ("brimloft-read-" + std::to_string(::getpid()));
  fs::remove_all(folder);
  fs::create_directories(folder / "a-folder");
  const std::string bytes = std::string("line\r\n\0\xFF", 8) + std::string(70000, 'x');
  std::ofstream(folder / "data", std::ios::binary) << bytes;
  std::ofstream(folder / "empty", std::ios::binary);

  std::string out = "untouched";
  EXPECT_TRUE(readWholeFile(folder / "data", out));
  EXPECT_EQ(out, bytes);
  EXPECT_TRUE(readWholeFile(folder / "empty", out));
  EXPECT_EQ(out, "");
  for (const char* name : {"missing", "a-folder"}) {
    out = "untouched";
    EXPECT_FALSE(readWholeFile(folder / name, out)) << name;
    EXPECT_EQ(out, "untouched") << name;
  }
  fs::remove_all(folder);
}
