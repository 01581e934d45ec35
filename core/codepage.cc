#include "core/codepage.h"

#include <array>

namespace ps {
namespace {

// 0x80..0x9F; everything else is Latin-1 (byte value == code point).
constexpr std::array<char16_t, 32> kHigh = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

}  // namespace

char16_t CodePageToChar(unsigned char byte) {
  return byte >= 0x80 && byte < 0xA0 ? kHigh[byte - 0x80] : static_cast<char16_t>(byte);
}

char CharToCodePage(char16_t c) {
  if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) return static_cast<char>(c);
  for (std::size_t i = 0; i < kHigh.size(); ++i) {
    if (kHigh[i] == c) return static_cast<char>(0x80 + i);
  }
  return '?';
}

std::string ToCodePage(std::u16string_view text) {
  std::string out(text.size(), '\0');
  for (std::size_t i = 0; i < text.size(); ++i) out[i] = CharToCodePage(text[i]);
  return out;
}

std::string CharactersToCodePage(std::u16string_view text, bool* exact) {
  std::string out;
  out.reserve(text.size());
  bool all = true;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char16_t c = text[i];
    const bool pair = c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
                      text[i + 1] <= 0xDFFF;
    i += pair ? 1 : 0;
    const char b = pair ? '?' : CharToCodePage(c);
    // '?' itself is in the code page; anything else that became one is not.
    all = all && (b != '?' || c == u'?');
    out.push_back(b);
  }
  if (exact) *exact = all;
  return out;
}

std::u16string FromCodePage(std::string_view bytes) {
  std::u16string out(bytes.size(), u'\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    out[i] = CodePageToChar(static_cast<unsigned char>(bytes[i]));
  }
  return out;
}

}  // namespace ps
