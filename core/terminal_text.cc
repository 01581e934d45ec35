#include "core/terminal_text.h"

#include <cstdint>
#include <cstdio>

namespace ps {
namespace {

// Decodes the UTF-8 sequence at s[i]: its length, or 0 when it is not valid
// (overlong, a surrogate, beyond U+10FFFF, cut short).
std::size_t Decode(std::string_view s, std::size_t i, char32_t* out) {
  const auto c = static_cast<unsigned char>(s[i]);
  std::size_t n;
  char32_t min;
  if (c < 0x80) {
    *out = c;
    return 1;
  }
  if ((c & 0xE0) == 0xC0) {
    n = 2;
    min = 0x80;
  } else if ((c & 0xF0) == 0xE0) {
    n = 3;
    min = 0x800;
  } else if ((c & 0xF8) == 0xF0) {
    n = 4;
    min = 0x10000;
  } else
    return 0;
  if (i + n > s.size()) return 0;
  char32_t cp = c & (0xFF >> (n + 1));
  for (std::size_t k = 1; k < n; ++k) {
    const auto b = static_cast<unsigned char>(s[i + k]);
    if ((b & 0xC0) != 0x80) return 0;
    cp = cp << 6 | (b & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  *out = cp;
  return n;
}

// Characters that change what a terminal shows rather than showing themselves.
bool Hidden(char32_t c) {
  if (c < 0x20 || (c >= 0x7F && c < 0xA0)) return true;  // C0, DEL, C1
  return c == 0x061C || c == 0x200E || c == 0x200F || (c >= 0x2028 && c <= 0x202E) ||
         (c >= 0x2066 && c <= 0x2069);
}

void AppendHex(std::string* out, std::string_view bytes) {
  for (const char b : bytes) {
    char buf[8];
    std::snprintf(buf, sizeof(buf), "\\x%02X", static_cast<unsigned char>(b));
    *out += buf;
  }
}

}  // namespace

std::string EscapeText(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    char32_t c = 0;
    const std::size_t n = Decode(text, i, &c);
    if (n == 0) {
      AppendHex(&out, text.substr(i, 1));
      ++i;
      continue;
    }
    if (c == '\\')
      out += "\\\\";
    else if (Hidden(c))
      AppendHex(&out, text.substr(i, n));
    else
      out.append(text.substr(i, n));
    i += n;
  }
  return out;
}

std::string QuoteText(std::string_view text) { return "'" + EscapeText(text) + "'"; }

std::size_t DisplayWidth(std::string_view text) {
  std::size_t width = 0;
  for (std::size_t i = 0; i < text.size();) {
    char32_t c = 0;
    const std::size_t n = Decode(text, i, &c);
    width += n == 0 ? 1 : static_cast<std::size_t>(CodePointWidth(c));
    i += n == 0 ? 1 : n;
  }
  return width;
}

}  // namespace ps
