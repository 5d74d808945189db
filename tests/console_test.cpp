#include <gtest/gtest.h>

#include "server/console.h"
#include "text/text_util.h"

TEST(TrimBlanks, RemovesOnlyTheFourBlanks) {
  struct Case {
    std::string in, out;
  } cases[] = {
      {"", ""},
      {" \t\r\n \n", ""},
      {"  Springfield , Illinois \r\n", "Springfield , Illinois"},
      {"\vx\f", "\vx\f"},                      // vertical tab and form feed are not blank
      {"x\xC2\xA0", "x\xC2\xA0"},              // a UTF-8 no-break space is kept
      {"DTSTART:20240101\r\n", "DTSTART:20240101"},
      {std::string("a\0b ", 4), std::string("a\0b", 3)},
  };
  for (const auto& c : cases) EXPECT_EQ(trimBlanks(c.in), c.out) << c.in;
}

TEST(ConsoleSafe, ControlCharactersBecomeSpaces) {
  struct Case {
    const char* name;
    std::string in, out;
  } cases[] = {
      {"empty", "", ""},
      {"plain text stays", "Calendar \"School\": 12 events", "Calendar \"School\": 12 events"},
      {"line breaks", "a\r\nb\nc\rd", "a  b c d"},
      {"tab, vertical tab, form feed", "a\tb\vc\fd", "a b c d"},
      {"escape sequence", "\x1b[2J\x1b]0;title\x07", " [2J ]0;title "},
      {"zero byte and DEL", std::string("a\0b\x7f", 4), "a b "},
      {"every C0 byte", std::string("\x01\x08\x0e\x1f"), "    "},
      {"C1 controls in UTF-8", "a\xC2\x80" "b\xC2\x9B" "1mc\xC2\x9F", "a b 1mc "},
      {"accents, degrees, no-break space", "S\xC3\xA3o Paulo 21\xC2\xB0" "C\xC2\xA0", "S\xC3\xA3o Paulo 21\xC2\xB0" "C\xC2\xA0"},
      {"first character after C1", "\xC2\xA0", "\xC2\xA0"},
      {"three and four bytes", "\xE2\x82\xAC \xE2\x98\x80 \xF0\x9F\x8C\xA4", "\xE2\x82\xAC \xE2\x98\x80 \xF0\x9F\x8C\xA4"},
      {"a raw C1 byte", "a\x9B" "1m", "a 1m"},
      {"overlong forms of controls", "\xC0\x8A|\xC1\x9B|\xE0\x82\x9B", "  |  |   "},
      {"cut-off character at the end", "ab\xE2\x82", "ab  "},
      {"stray lead byte", "\xC3x", " x"},
      {"surrogate and beyond U+10FFFF", "\xED\xA0\x80|\xF4\x90\x80\x80", "   |    "},
  };
  for (const Case& c : cases) EXPECT_EQ(consoleSafe(c.in), c.out) << c.name;
}
