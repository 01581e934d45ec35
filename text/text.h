// Text helpers: substring replacement and conditional choice.
#pragma once

#include <string>
#include <string_view>

#include "core/variant.h"

namespace ps {

// Replaces every occurrence of `find` in `text` with `replacement`, scanning
// left to right: leftmost first, no overlaps, the replacement is never searched
// again, and nothing before the resume point is searched again (so removing
// ".255" from "X.2.25555" gives "X.255"). The search ignores letter case
// (simple per-character folding, see FoldCase). One pass, O(|text| + |find|),
// with no limit on the text's length. An empty `find` returns `text` unchanged.
std::u16string StrReplace(std::u16string_view text, std::u16string_view find,
                          std::u16string_view replacement);

// The value for true when `condition` reads as true, otherwise the value for
// false. Never raises: a condition that cannot be read as a truth value (such
// as the text "abc") gives the value for true.
Variant ChooseIf(const Variant& condition, const Variant& if_true, const Variant& if_false);

// Simple case folding of one UTF-16 unit to lower case: ASCII, Latin-1,
// Latin Extended-A, basic Greek and Cyrillic. Other characters are returned as
// they are.
char16_t FoldCase(char16_t c);

}  // namespace ps
