#pragma once

#include <cstdint>
#include <string>

// The characters of the text records, and the fonts they are drawn with.
namespace host {

// The character set of the Symbol font, whose letters are Greek.
inline constexpr int SYMBOL_CHARSET = 2;

// A single-byte character of a font of the given character set as a code point
// (Windows-1252 for every set but Symbol).
uint32_t AnsiToUnicode(uint8_t c, int charset);

// Appends a code point as UTF-8; control characters become spaces and lone
// surrogates the replacement character.
void AppendUtf8(std::string& out, uint32_t codePoint);

// The metafile's face goes to the nearest of the fonts every machine here has.
const char* FontFamily(const std::string& face);

}  // namespace host
