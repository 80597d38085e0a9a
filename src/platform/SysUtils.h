#pragma once

#include <string>

// The platform's integer parsing: leading blanks, one sign, "$"/"x"/"0x" hexadecimal,
// 32 bits. False when the whole text is not such a number.
bool TryStrToInt(const std::string& text, int& value);
// Raises EConvertError "'%s' is not a valid integer value".
int StrToInt(const std::string& text);
