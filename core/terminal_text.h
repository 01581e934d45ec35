// Text from outside the program (host names, target-file lines, interface and
// file names, command-line arguments) as it may be shown on a terminal or
// written to a file: escaped so that it can neither move the cursor, change
// colours nor reorder what is shown, and measured in the columns it takes.
// Every message and every output format quotes outside text through
// EscapeText; nothing here depends on the process locale.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace ps {

// UTF-8 with every control character (C0, DEL, C1), every bidirectional
// formatting character (U+061C, U+200E, U+200F, U+202A-U+202E,
// U+2066-U+2069), the line and paragraph separators (U+2028, U+2029) and
// every byte that is not part of valid UTF-8 written as \xNN, one a byte; a
// backslash as \\. Everything else as given.
std::string EscapeText(std::string_view text);

// EscapeText between single quotes: how a message names what it is about.
std::string QuoteText(std::string_view text);

// The columns a terminal gives `text`: 2 for each East Asian wide or
// fullwidth character, 0 for combining and other zero-width ones and for
// control characters, 1 for the rest (and for each byte that is not UTF-8).
std::size_t DisplayWidth(std::string_view text);

// The columns of one code point: 0, 1 or 2 (as above).
int CodePointWidth(char32_t c);

}  // namespace ps
