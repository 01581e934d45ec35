#include "core/terminal_text.h"

#include <gtest/gtest.h>

namespace ps {
namespace {

// Moved from cli/sweep/cli_test.cc, where names were escaped before every
// message used this function.
TEST(TerminalTextTest, EscapesControlBidiAndInvalidBytes) {
  const struct {
    std::string in, out;
  } cases[] = {
      {"host.lan", "host.lan"},
      {"caf\xC3\xA9", "caf\xC3\xA9"},
      {"a\nb\tc\x7F", "a\\x0Ab\\x09c\\x7F"},
      {"back\\slash", "back\\\\slash"},
      {"\xFF\xC3", "\\xFF\\xC3"},
      {"c1\xC2\x85", "c1\\xC2\\x85"},
      {"\xE2\x82\xAC\xF0\x9F\x98\x80", "\xE2\x82\xAC\xF0\x9F\x98\x80"},
      {"\xED\xA0\x80", "\\xED\\xA0\\x80"},  // a surrogate is not UTF-8
      // Bidirectional formatting characters reorder what a terminal shows;
      // the line and paragraph separators break lines in some viewers.
      {"a\xE2\x80\xAE" "b", "a\\xE2\\x80\\xAEb"},  // U+202E
      {"\xE2\x80\xAA\xE2\x81\xA6\xE2\x81\xA9",      // U+202A, U+2066, U+2069
       "\\xE2\\x80\\xAA\\xE2\\x81\\xA6\\xE2\\x81\\xA9"},
      {"\xE2\x80\x8E\xE2\x80\x8F\xD8\x9C",          // U+200E, U+200F, U+061C
       "\\xE2\\x80\\x8E\\xE2\\x80\\x8F\\xD8\\x9C"},
      {"\xE2\x80\xA8\xE2\x80\xA9", "\\xE2\\x80\\xA8\\xE2\\x80\\xA9"},  // U+2028, U+2029
      // Their neighbours are shown as they are: U+200D, U+2065, U+2027, U+202F.
      {"\xE2\x80\x8D\xE2\x81\xA5\xE2\x80\xA7\xE2\x80\xAF",
       "\xE2\x80\x8D\xE2\x81\xA5\xE2\x80\xA7\xE2\x80\xAF"},
  };
  for (const auto& c : cases) EXPECT_EQ(EscapeText(c.in), c.out) << c.in;
}

TEST(TerminalTextTest, WidthInColumns) {
  const struct {
    std::string text;
    std::size_t width;
  } cases[] = {
      {"", 0},
      {"host.lan", 8},
      {"caf\xC3\xA9", 4},                          // é precomposed
      {"cafe\xCC\x81", 4},                         // e + U+0301 combining acute
      {"\xE6\x97\xA5\xE6\x9C\xAC", 4},             // 日本
      {"\xEA\xB0\x80", 2},                         // 가 (Hangul syllable)
      {"\xE1\x84\x80\xE1\x85\xA1", 2},             // ᄀ + ᅡ (Hangul jamo: wide + medial 0)
      {"\xEF\xBC\xA1\xEF\xBD\xA1", 3},             // fullwidth A 2, halfwidth full stop 1
      {"\xF0\x9F\x98\x80", 2},                     // 😀
      {"\xF0\xA0\x80\x80\xF0\xAA\x9B\x9F", 4},     // U+20000 and U+2A6DF (plane 2)
      {"a\xE2\x80\x8B" "b", 2},                    // U+200B zero width space
      {"\xC2\xAD", 1},                             // soft hyphen, shown as a hyphen
      {"\xD0\xB4\xD0\xBE\xD0\xBC", 3},             // дом
      {"\\x1B[31m", 8},                            // escaped text: as many columns as bytes
      {"\xFF\xC3", 2},                             // bytes that are not UTF-8: one each
  };
  for (const auto& c : cases) EXPECT_EQ(DisplayWidth(c.text), c.width) << c.text;
  for (const char32_t c : {char32_t{0x1F}, char32_t{0x7F}, char32_t{0x9F}})
    EXPECT_EQ(CodePointWidth(c), 0);
  EXPECT_EQ(CodePointWidth(0x10FFFF), 1);
  EXPECT_EQ(CodePointWidth(0x3FFFD), 2);
}

TEST(TerminalTextTest, QuotedTextIsEscaped) {
  EXPECT_EQ(QuoteText("eth0"), "'eth0'");
  EXPECT_EQ(QuoteText("ev\x1B]0;x\x07il"), "'ev\\x1B]0;x\\x07il'");
}

}  // namespace
}  // namespace ps
