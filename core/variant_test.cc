#include "core/variant.h"

#include <gtest/gtest.h>

#include <optional>

#include "core/error.h"

namespace ps {
namespace {

// Runs `f` and returns the error number it raised, or nullopt.
template <typename F>
std::optional<int> RaisedNumber(F&& f) {
  try {
    f();
  } catch (const Error& e) {
    return e.Number();
  }
  return std::nullopt;
}

TEST(VariantTest, ToTextFollowsTheSystemRule) {
  struct Case {
    Variant value;
    std::u16string text;
  } cases[] = {
      {Variant(), u""},          {Variant(true), u"True"}, {Variant(false), u"False"},
      {Variant(42), u"42"},      {Variant(-7), u"-7"},     {Variant(0.1), u"0.1"},
      {Variant(2.5), u"2.5"},    {Variant(-0.0), u"0"},    {Variant(1e21), u"1e+21"},
      {Variant(u"abc"), u"abc"}, {Variant(u""), u""},
  };
  for (const auto& c : cases) EXPECT_EQ(c.value.ToText(), c.text);
}

TEST(VariantTest, ToTextRaisesForNullAndArrays) {
  EXPECT_EQ(RaisedNumber([] { Variant::Null().ToText(); }), kErrInvalidUseOfNull);
  EXPECT_EQ(RaisedNumber([] { Variant::Array({u"a"}).ToText(); }), kErrTypeMismatch);
  EXPECT_EQ(RaisedNumber([] { Variant::Array({}).ToText(); }), kErrTypeMismatch);
}

TEST(VariantTest, ToBoolReadsConditions) {
  struct Case {
    Variant value;
    bool truth;
  } cases[] = {
      {Variant(), false},         {Variant::Null(), false}, {Variant(true), true},
      {Variant(false), false},    {Variant(0), false},      {Variant(-1), true},
      {Variant(0.5), true},       {Variant(u"True"), true}, {Variant(u"false"), false},
      {Variant(u" TRUE "), true}, {Variant(u"0"), false},   {Variant(u"1"), true},
      {Variant(u" -2.5 "), true}, {Variant(u"0.0"), false}, {Variant(u"1e3"), true},
  };
  for (const auto& c : cases) EXPECT_EQ(c.value.ToBool(), c.truth) << ToUtf8(c.value.ToText());
}

TEST(VariantTest, ToBoolRaisesTypeMismatchForOtherTexts) {
  for (const char16_t* text : {u"abc", u"", u"  ", u"1a", u"--1", u"nan", u"inf", u"Truee"}) {
    EXPECT_EQ(RaisedNumber([&] { Variant(text).ToBool(); }), kErrTypeMismatch);
  }
  EXPECT_EQ(RaisedNumber([] { Variant::Array({u"1"}).ToBool(); }), kErrTypeMismatch);
}

TEST(VariantTest, ArraysAreOneBasedAndAnEmptyOneHasNoBounds) {
  const Variant names = Variant::Array({u"A", u"B"});
  ASSERT_TRUE(names.IsArray());
  EXPECT_EQ(names.LBound(), 1);
  EXPECT_EQ(names.UBound(), 2);
  EXPECT_EQ(names.Element(1), u"A");
  EXPECT_EQ(names.Element(2), u"B");
  EXPECT_EQ(RaisedNumber([&] { names.Element(0); }), kErrSubscriptOutOfRange);
  EXPECT_EQ(RaisedNumber([&] { names.Element(3); }), kErrSubscriptOutOfRange);

  const Variant none = Variant::Array({});
  EXPECT_TRUE(none.IsArray());
  EXPECT_FALSE(none.IsEmpty());
  EXPECT_FALSE(none.HasBounds());
  EXPECT_EQ(RaisedNumber([&] { none.LBound(); }), kErrSubscriptOutOfRange);
  EXPECT_EQ(RaisedNumber([&] { none.UBound(); }), kErrSubscriptOutOfRange);

  EXPECT_EQ(RaisedNumber([] { Variant(u"x").HasBounds(); }), kErrTypeMismatch);
}

TEST(VariantTest, EmptyNullAndEmptyTextAreDistinct) {
  EXPECT_NE(Variant(), Variant::Null());
  EXPECT_NE(Variant(), Variant(u""));
  EXPECT_NE(Variant::Array({}), Variant());
  EXPECT_EQ(Variant(3), Variant(3.0));
}

}  // namespace
}  // namespace ps
