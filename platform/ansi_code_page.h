// The program's ANSI code page: the code set of the locale chosen at start-up, in which
// all 8-bit text of the program is held. The plain ASCII "C"/"POSIX" locale counts as
// UTF-8, since scripts and cron jobs run in it with UTF-8 text. Conversions go through
// iconv.
#pragma once

#include <string>
#include <string_view>

// The iconv name of the ANSI code page.
std::string AnsiCodeSet();

// Converts text from one iconv code set to another. As the Windows converters do, a
// character the target cannot hold becomes '?', and so does each malformed input
// sequence; the conversion itself never fails. Equal code sets copy the text unchanged.
std::string ConvertCodeSet(std::string_view text, const std::string& from, const std::string& to);

std::string AnsiFromUtf8(std::string_view text);
std::string AnsiFromUtf16le(std::string_view bytes);
std::string Utf8FromAnsi(std::string_view text);
