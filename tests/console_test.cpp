#include <gtest/gtest.h>

#include "server/console.h"

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
