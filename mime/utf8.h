// UTF-8 (RFC 3629) for the wire: the program holds its text in the ANSI code page and
// converts it only where a part or header is sent with the charset "UTF-8".
#pragma once

#include <string>
#include <string_view>

// True when a charset name is "UTF-8" in any letter case.
bool IsUtf8Charset(std::string_view charset);

// The UTF-8 bytes of a text in the ANSI code page; a UTF-8 code page gives the text
// unchanged.
std::string AnsiToUtf8(std::string_view text);

// Converts count UTF-16 units. With capacity 0 it only measures: it returns the bytes
// the whole conversion needs and writes nothing. Otherwise it writes the bytes (no NUL,
// no byte order mark) and returns their number, or 0 when they don't all fit. A high
// surrogate followed by a low one forms one four-byte character; every other surrogate
// is written as three bytes of its own value. A unit takes at most three bytes, so
// count must stay below INT_MAX / 3 for the length to fit the result.
int Utf16ToUtf8(const char16_t* units, int count, char* destination, int capacity);
