// The ANSI code page: the character set in which the program holds its 8-bit text. It
// is the codeset of the process's locale (LC_CTYPE, taken from the environment at
// start-up), and the plain "C"/"POSIX" locale counts as UTF-8, because scripts and
// cron jobs run in it with UTF-8 text. Conversions go through iconv.
#pragma once

#include <string>
#include <string_view>

// The code page's name as iconv knows it ("UTF-8", "ISO-8859-1", ...).
std::string AnsiCodePage();

bool AnsiCodePageIsUtf8();

// ISO-8859-1 or its Windows superset CP1252.
bool AnsiCodePageIsLatin1();

// Converts text from one iconv code set to another. As the Windows converters do, a
// character the target cannot hold, and each malformed input sequence, becomes the
// replacement (given in the target code set); the conversion itself never fails. Equal
// code sets copy the text unchanged; a pair iconv does not know passes ASCII through
// and replaces every other byte.
std::string ConvertCodeSet(std::string_view text, const std::string& from, const std::string& to,
                           std::string_view replacement = "?");

std::string AnsiFromUtf8(std::string_view text);
std::string AnsiFromUtf16le(std::string_view bytes);
std::string Utf8FromAnsi(std::string_view text);

// MultiByteToWideChar with CP_ACP: the UTF-16 units of a text in the ANSI code page,
// with U+FFFD for what cannot be converted.
std::u16string AnsiToUtf16(std::string_view text);
