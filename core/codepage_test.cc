#include "core/codepage.h"

#include <gtest/gtest.h>

#include <optional>

#ifdef _WIN32
#include <windows.h>
#else
#include <iconv.h>
#endif

namespace ps {
namespace {

#ifdef _WIN32
// The system's own code page 1252 for one byte. It defines all 256 bytes: the
// five that the standard leaves out map to the same code point.
std::optional<char16_t> SystemDecode(unsigned char byte) {
  const char in[1] = {static_cast<char>(byte)};
  wchar_t out[2] = {};
  if (MultiByteToWideChar(1252, MB_ERR_INVALID_CHARS, in, 1, out, 2) != 1) return std::nullopt;
  return static_cast<char16_t>(out[0]);
}

TEST(CodePageTest, AgreesWithTheSystemOnEveryByte) {
  for (int b = 0; b < 256; ++b) {
    const auto byte = static_cast<unsigned char>(b);
    ASSERT_TRUE(SystemDecode(byte).has_value()) << "byte " << b;
    EXPECT_EQ(CodePageToChar(byte), *SystemDecode(byte)) << "byte " << b;
  }
  for (int b : {0x81, 0x8D, 0x8F, 0x90, 0x9D}) EXPECT_EQ(CodePageToChar(static_cast<unsigned char>(b)), b);
}
#else
// glibc's own CP1252 decoder for one byte, or nullopt where it refuses the byte.
std::optional<char16_t> IconvDecode(unsigned char byte) {
  iconv_t cd = iconv_open("UTF-16LE", "CP1252");
  if (cd == reinterpret_cast<iconv_t>(-1)) return std::nullopt;
  char in[1] = {static_cast<char>(byte)};
  unsigned char out[4] = {};
  char* inp = in;
  char* outp = reinterpret_cast<char*>(out);
  std::size_t inleft = 1, outleft = sizeof out;
  const std::size_t rc = iconv(cd, &inp, &inleft, &outp, &outleft);
  iconv_close(cd);
  if (rc == static_cast<std::size_t>(-1) || outleft != 2) return std::nullopt;
  return static_cast<char16_t>(out[0] | (out[1] << 8));
}

TEST(CodePageTest, AgreesWithIconvOnEveryDefinedByteAndFillsItsFiveGaps) {
  int gaps = 0;
  for (int b = 0; b < 256; ++b) {
    const auto byte = static_cast<unsigned char>(b);
    const auto expected = IconvDecode(byte);
    if (expected) {
      EXPECT_EQ(CodePageToChar(byte), *expected) << "byte " << b;
    } else {
      // iconv rejects the undefined bytes; Windows maps them to the same code point.
      ++gaps;
      EXPECT_EQ(CodePageToChar(byte), static_cast<char16_t>(b)) << "byte " << b;
    }
  }
  EXPECT_EQ(gaps, 5);
  for (int b : {0x81, 0x8D, 0x8F, 0x90, 0x9D})
    EXPECT_FALSE(IconvDecode(static_cast<unsigned char>(b)));
}
#endif

TEST(CodePageTest, AllBytesRoundTrip) {
  std::string bytes;
  for (int b = 0; b < 256; ++b) bytes += static_cast<char>(b);
  const std::u16string text = FromCodePage(bytes);
  ASSERT_EQ(text.size(), 256u);
  EXPECT_EQ(ToCodePage(text), bytes);
}

TEST(CodePageTest, KnownCharactersAndUnrepresentableOnes) {
  EXPECT_EQ(ToCodePage(u"Pr\u00e9sent \u20ac\u2122\u0178"), "Pr\xE9sent \x80\x99\x9F");
  EXPECT_EQ(FromCodePage("Pr\xE9sent \x80"), u"Pr\u00e9sent \u20ac");
  // Outside the code page: Cyrillic, CJK, each half of a surrogate pair, and C1
  // controls that Windows-1252 replaced with printable characters.
  EXPECT_EQ(ToCodePage(u"\u0416\u4E2D\U0001F600"), "????");
  EXPECT_EQ(ToCodePage(u"\u0080\u009F"), "??");
  EXPECT_EQ(ToCodePage(u""), "");
}

}  // namespace
}  // namespace ps
