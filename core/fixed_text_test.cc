#include "core/fixed_text.h"

#include <gtest/gtest.h>

namespace ps {
namespace {

TEST(FixedTextTest, AssignmentWritesFromTheLeftAndBlankFills) {
  struct Case {
    std::u16string assigned;
    std::u16string held;
  } cases[] = {
      {u"", u"      "},         {u"ab", u"ab    "},  {u"abcdef", u"abcdef"},
      {u"abcdefgh", u"abcdef"}, {u"  x", u"  x   "},
  };
  for (const auto& c : cases) {
    FixedText<6> t;
    t = u"zzzzzz";  // earlier content must never show through
    t = c.assigned;
    EXPECT_EQ(t.Str(), c.held) << "assigned '" << std::string(c.assigned.begin(), c.assigned.end())
                               << "'";
  }
}

TEST(FixedTextTest, DefaultIsAllBlanksAndSizeNeverChanges) {
  FixedText<250> t;
  EXPECT_EQ(t.Str(), std::u16string(250, u' '));
  t = std::u16string(1000, u'x');
  EXPECT_EQ(t.View().size(), 250u);
  EXPECT_EQ(FixedText<250>(u"FAILED").Str(), u"FAILED" + std::u16string(244, u' '));
}

}  // namespace
}  // namespace ps
