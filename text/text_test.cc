#include "text/text.h"

#include <gtest/gtest.h>

#include <random>

namespace ps {
namespace {

std::string Narrow(std::u16string_view s) { return std::string(s.begin(), s.end()); }

// The rebuild-around-each-occurrence procedure, step by step, with unbounded
// positions: the reference the one-pass version must agree with.
std::u16string ReferenceReplace(std::u16string text, std::u16string find, std::u16string repl) {
  auto fold = [](std::u16string s) {
    for (auto& c : s) c = FoldCase(c);
    return s;
  };
  std::size_t p = 1;
  while (p != 0) {
    const auto found = fold(text).find(fold(find), p - 1);
    p = found == std::u16string::npos ? 0 : found + 1;
    if (p == 0) break;
    const std::u16string left = p != 1 ? text.substr(0, p - 1) : u"";
    const std::u16string right = text.substr(p - 1 + find.size());
    text = left + repl + right;
    p += repl.size();
  }
  return text;
}

TEST(StrReplaceTest, ScanRuleExamples) {
  struct Case {
    std::u16string text, find, repl, result;
  } cases[] = {
      {u"192.168.1.255", u".255", u"", u"192.168.1"},
      {u"192.168.1", u".255", u"", u"192.168.1"},
      {u"10.255.0.255", u".255", u"", u"10.0"},
      {u"192.168.1.2550", u".255", u"", u"192.168.10"},
      {u"a.255.255", u".255", u"", u"a"},
      {u"X.2.25555", u".255", u"", u"X.255"},
      {u"aXbxc", u"x", u"--", u"a--b--c"},
      {u"abab", u"ab", u"ab", u"abab"},
      {u"", u".255", u"x", u""},
      {u".255", u".255", u"", u""},
      {u"aaaa", u"aa", u"a", u"aa"},
      {u"aaa", u"aa", u"", u"a"},
      {u"\u00c9T\u00c9 \u00e9t\u00e9", u"\u00e9t\u00e9", u"x", u"x x"},
      {u"\u0416\u0436", u"\u0436", u"-", u"--"},
      {u"\u0100\u0101\u0139\u013a", u"\u0101\u013a", u".", u"\u0100.\u013a"},
      {u"\u0101\u013a", u"\u0100\u0139", u".", u"."},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(StrReplace(c.text, c.find, c.repl), c.result)
        << Narrow(c.text) << " / " << Narrow(c.find) << " / " << Narrow(c.repl);
  }
}

TEST(StrReplaceTest, EmptySearchTextLeavesTheTextAlone) {
  EXPECT_EQ(StrReplace(u"192.168.1.255", u"", u""), u"192.168.1.255");
  EXPECT_EQ(StrReplace(u"abc", u"", u"x"), u"abc");
  EXPECT_EQ(StrReplace(u"", u"", u"x"), u"");
}

TEST(StrReplaceTest, AgreesWithTheStepwiseProcedureOnRandomTexts) {
  std::mt19937 rng(12345);
  const std::u16string alphabet = u".25aAbB";
  auto random_text = [&](std::size_t max_len) {
    std::u16string s(rng() % (max_len + 1), u' ');
    for (auto& c : s) c = alphabet[rng() % alphabet.size()];
    return s;
  };
  for (int i = 0; i < 20000; ++i) {
    const auto text = random_text(24);
    auto find = random_text(4);
    if (find.empty()) find = u".";
    const auto repl = random_text(3);
    ASSERT_EQ(StrReplace(text, find, repl), ReferenceReplace(text, find, repl))
        << Narrow(text) << " / " << Narrow(find) << " / " << Narrow(repl);
  }
}

// Occurrences near and far past character 32767, in texts over 100,000
// characters: every one is handled, none raises.
TEST(StrReplaceTest, LongTextsHaveNoPositionLimit) {
  for (std::size_t at : {32760u, 32763u, 32764u, 32767u, 32768u, 65536u, 99000u}) {
    std::u16string text(120000, u'1');
    text.replace(at - 1, 4, u".255");  // occurrence at one-based position `at`
    text.replace(110000, 4, u".255");
    std::u16string expected(120000, u'1');
    expected.erase(110000, 4);
    expected.erase(at - 1, 4);
    EXPECT_EQ(StrReplace(text, u".255", u""), expected) << "at " << at;

    std::u16string with_repl = text;
    with_repl.replace(110000, 4, u"xxxx");
    with_repl.replace(at - 1, 4, u"xxxx");
    EXPECT_EQ(StrReplace(text, u".255", u"xxxx"), with_repl) << "at " << at;
  }
  // A million characters made only of occurrences.
  std::u16string many;
  for (int i = 0; i < 250000; ++i) many += u".255";
  EXPECT_EQ(StrReplace(many, u".255", u""), u"");
  EXPECT_EQ(StrReplace(many, u".255", u"ab").size(), 500000u);
}

TEST(ChooseIfTest, ConditionRules) {
  struct Case {
    Variant condition;
    bool takes_true;
  } cases[] = {
      {Variant(true), true},    {Variant(false), false},    {Variant(), false},
      {Variant::Null(), false}, {Variant(1), true},         {Variant(0), false},
      {Variant(u"abc"), true},  {Variant(u"0"), false},     {Variant(u"False"), false},
      {Variant(u""), true},     {Variant::Array({}), true},
  };
  for (const auto& c : cases) {
    const Variant chosen = ChooseIf(c.condition, Variant(u"yes"), Variant(u"no"));
    EXPECT_EQ(chosen, Variant(c.takes_true ? u"yes" : u"no"));
  }
  // Any kind of candidate comes back as it was.
  EXPECT_EQ(ChooseIf(Variant(true), Variant::Null(), Variant(1)), Variant::Null());
  EXPECT_EQ(ChooseIf(Variant(false), Variant(1), Variant::Array({u"a"})), Variant::Array({u"a"}));
}

}  // namespace
}  // namespace ps
