#pragma once

// The byte-level alphabet: every byte of UTF-8 text written as one printable character, so
// that byte-level vocabularies and merges are made of ordinary characters.

#include <array>
#include <cstdint>
#include <unordered_map>

#include "HalvexCore/External/Tokenizers/TextOperations.h"

namespace halvex {

// Byte value to its character: the bytes 33–126, 161–172 and 174–255 map to the code point of
// the same value; the other 68 bytes, in increasing order, map to U+0100, U+0101, … U+0143.
const std::array<char16_t, 256>& byteEncoder();

// The inverse of byteEncoder: character to byte value (256 entries).
const std::unordered_map<char16_t, uint8_t>& byteDecoder();

// The byte of one byte-level character, or -1 when the character is not in the alphabet.
int byteLevelByte(char16_t c);

// The expression that cuts text into byte-level pieces (contractions, letters, numbers, other
// symbols, whitespace), compiled once.
const text::Regex& byteLevelSplitRegex();

}  // namespace halvex
