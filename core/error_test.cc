#include "core/error.h"

#include <gtest/gtest.h>

namespace ps {
namespace {

TEST(ErrorTest, StandardErrorsKeepTheirNumbers) {
  EXPECT_EQ(OverflowError().Number(), 6);
  EXPECT_EQ(TypeMismatchError().Number(), 13);
  EXPECT_EQ(InvalidUseOfNullError().Number(), 94);
  EXPECT_EQ(SubscriptOutOfRangeError().Number(), 9);
}

TEST(ErrorTest, WhatCarriesNumberAndDescriptionInUtf8) {
  Error e(5, u"RegistryKey.CloseKey", u"caf\u00e9 \u20ac");
  EXPECT_STREQ(e.what(), "Error 5: caf\xC3\xA9 \xE2\x82\xAC");
  EXPECT_EQ(e.Source(), u"RegistryKey.CloseKey");
}

TEST(ErrorTest, Utf8RoundTripsAndReplacesMalformedInput) {
  const std::u16string text = u"a\u00e9\u20ac\U0001F600z";
  EXPECT_EQ(FromUtf8(ToUtf8(text)), text);
  EXPECT_EQ(ToUtf8(std::u16string(1, char16_t{0xD800})), "\xEF\xBF\xBD");
  // Truncated sequence, overlong form, stray continuation byte.
  EXPECT_EQ(FromUtf8("\xE2\x82"), u"\uFFFD\uFFFD");
  EXPECT_EQ(FromUtf8("\xC0\xAF"), u"\uFFFD\uFFFD");
  EXPECT_EQ(FromUtf8("\x80x"), u"\uFFFDx");
}

}  // namespace
}  // namespace ps
