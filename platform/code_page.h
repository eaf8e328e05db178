// The ANSI code page: the character set in which the program holds its text. It is the
// codeset of the process's locale (LC_CTYPE, taken from the environment at start-up),
// and the plain "C"/"POSIX" locale counts as UTF-8, because scripts and cron jobs run
// in it with UTF-8 text.
#pragma once

#include <string>
#include <string_view>

// The code page's name as iconv knows it ("UTF-8", "ISO-8859-1", ...).
std::string AnsiCodePage();

bool AnsiCodePageIsUtf8();

// MultiByteToWideChar with CP_ACP: the UTF-16 units of a text in the ANSI code page.
// A byte sequence the code page can't map, or a code page iconv does not know, gives
// U+FFFD for each byte it can't convert.
std::u16string AnsiToUtf16(std::string_view text);
