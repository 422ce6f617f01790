// korvelctl's escaping of the unit's texts: nothing a unit sends reaches the
// terminal as a control, and JSON output stays valid UTF-8.
#include "unittext.h"

#include <gtest/gtest.h>

namespace {

struct Case {
  const char* name;
  std::string text;
  const char* plain;
  const char* json;
};

TEST(UnitText, ControlsAndIllFormedBytesAreEscaped) {
  const Case cases[] = {
      {"plain text", "TR-000123", "TR-000123", "\"TR-000123\""},
      {"printable UTF-8", "K\xc3\xb6rvel \xe2\x82\xac \xf0\x9f\x8e\x9a",
       "K\xc3\xb6rvel \xe2\x82\xac \xf0\x9f\x8e\x9a", "\"K\xc3\xb6rvel \xe2\x82\xac \xf0\x9f\x8e\x9a\""},
      {"terminal title and clear", "\x1b]0;pwned\x07\x1b[2J", "\\x1b]0;pwned\\x07\\x1b[2J",
       "\"\\u001b]0;pwned\\u0007\\u001b[2J\""},
      {"line ends, tab, NUL", std::string("a\r\nb\tc\0d", 8), "a\\x0d\\x0ab\\x09c\\x00d",
       "\"a\\r\\nb\\tc\\u0000d\""},
      {"DEL and C1 CSI",
       "x\x7fy\xc2\x9b"
       "2J",
       "x\\x7fy\\xc2\\x9b2J", "\"x\\u007fy\\u009b2J\""},
      {"quote and backslash", "a\"b\\x41", "a\"b\\\\x41", "\"a\\\"b\\\\x41\""},
      {"stray continuation, cut sequence",
       "\x80"
       "a\xe2\x82",
       "\\x80a\\xe2\\x82", "\"\\ufffda\\ufffd\\ufffd\""},
      {"overlong slash, surrogate, past U+10FFFF", "\xc0\xaf\xed\xa0\x80\xf4\x90\x80\x80",
       "\\xc0\\xaf\\xed\\xa0\\x80\\xf4\\x90\\x80\\x80",
       "\"\\ufffd\\ufffd\\ufffd\\ufffd\\ufffd\\ufffd\\ufffd\\ufffd\\ufffd\""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(unit_text_plain(c.text), c.plain) << c.name;
    EXPECT_EQ(unit_text_json(c.text), c.json) << c.name;
  }
}

}  // namespace
