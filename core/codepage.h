// The system's single-byte code page, Windows-1252. Every text handed to or
// taken from a platform function travels through it, one byte per character.
#pragma once

#include <string>
#include <string_view>

namespace ps {

// UTF-16 -> code page bytes. A character the code page cannot represent
// (including each half of a surrogate pair) becomes '?'.
std::string ToCodePage(std::u16string_view text);

// UTF-16 -> code page bytes, one byte per character: unlike ToCodePage, a
// surrogate pair (one character beyond U+FFFF) becomes a single '?'. *exact,
// when given, tells whether the code page held every character, so that the
// bytes stand for this text and no other.
std::string CharactersToCodePage(std::u16string_view text, bool* exact = nullptr);

// Code page bytes -> UTF-16. Total: every byte maps to one character; the five
// bytes Windows-1252 leaves undefined (81 8D 8F 90 9D) map to the same code
// points, as Windows does, so all 256 bytes round-trip.
std::u16string FromCodePage(std::string_view bytes);

char16_t CodePageToChar(unsigned char byte);
// Returns '?' for an unrepresentable character.
char CharToCodePage(char16_t c);

}  // namespace ps
