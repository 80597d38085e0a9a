#pragma once

#include <string>
#include <vector>

// ASCII case folding, as file extensions and filters are compared; other bytes stay.
std::string UpperCase(std::string text);
std::string LowerCase(std::string text);

// The platform's integer parsing: leading blanks, one sign, "$"/"x"/"0x" hexadecimal,
// 32 bits. False when the whole text is not such a number.
bool TryStrToInt(const std::string& text, int& value);
// Raises EConvertError "'%s' is not a valid integer value".
int StrToInt(const std::string& text);

// The parts of text between separators: one more than the separators, empty ones kept.
std::vector<std::string> SplitAt(const std::string& text, char separator);
