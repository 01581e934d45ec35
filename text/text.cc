#include "text/text.h"

#include <vector>

namespace ps {

char16_t FoldCase(char16_t c) {
  if (c < 0x80) return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + 32) : c;
  // Latin-1 capitals, except the multiplication sign.
  if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return static_cast<char16_t>(c + 32);
  if (c == 0x178) return 0xFF;  // Ÿ
  // Latin Extended-A pairs capital/small on even/odd code points, except in
  // 0x139..0x148 and 0x179..0x17E where the capital is odd. Dotless/dotted I
  // (0x130/0x131) and the kra/long s stand alone.
  if (c >= 0x100 && c <= 0x17F) {
    if (c == 0x130 || c == 0x131 || c == 0x138 || c == 0x149 || c == 0x17F) return c;
    const bool odd_capital = (c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E);
    if (odd_capital) return (c & 1) ? static_cast<char16_t>(c + 1) : c;
    return (c & 1) ? c : static_cast<char16_t>(c + 1);
  }
  // Greek capitals (not the unassigned 0x3A2), Cyrillic capitals.
  if (c >= 0x391 && c <= 0x3AB && c != 0x3A2) return static_cast<char16_t>(c + 32);
  if (c >= 0x410 && c <= 0x42F) return static_cast<char16_t>(c + 32);
  if (c >= 0x400 && c <= 0x40F) return static_cast<char16_t>(c + 80);
  return c;
}

std::u16string StrReplace(std::u16string_view text, std::u16string_view find,
                          std::u16string_view replacement) {
  if (find.empty() || text.size() < find.size()) return std::u16string(text);

  // Knuth-Morris-Pratt over case-folded characters: linear whatever the
  // pattern, so no text can make the sweep stall.
  std::vector<char16_t> pattern(find.size());
  for (std::size_t i = 0; i < find.size(); ++i) pattern[i] = FoldCase(find[i]);
  std::vector<std::size_t> fail(pattern.size(), 0);
  for (std::size_t i = 1, k = 0; i < pattern.size(); ++i) {
    while (k > 0 && pattern[i] != pattern[k]) k = fail[k - 1];
    if (pattern[i] == pattern[k]) ++k;
    fail[i] = k;
  }

  std::u16string out;
  out.reserve(text.size());
  std::size_t copied = 0;  // text[copied..] not yet written to `out`
  std::size_t matched = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char16_t c = FoldCase(text[i]);
    while (matched > 0 && c != pattern[matched]) matched = fail[matched - 1];
    if (c == pattern[matched]) ++matched;
    if (matched == pattern.size()) {
      const std::size_t start = i + 1 - pattern.size();
      out.append(text.substr(copied, start - copied));
      out.append(replacement);
      copied = i + 1;
      matched = 0;  // resume after the occurrence: no overlaps, no look-back
    }
  }
  out.append(text.substr(copied));
  return out;
}

Variant ChooseIf(const Variant& condition, const Variant& if_true, const Variant& if_false) {
  bool truth = true;  // an unreadable condition falls through to the true branch
  try {
    truth = condition.ToBool();
  } catch (...) {
  }
  return truth ? if_true : if_false;
}

}  // namespace ps
