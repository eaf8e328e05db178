// Line ends of the text that goes out after DATA: CR LF only (RFC 5321 2.3.8), so no
// bare CR or LF can make a line that a lenient server reads as the end of the data;
// and whether a line is longer than it may be, 998 octets (RFC 5322 2.1.1).
#pragma once

#include <string>
#include <string_view>

// The longest line a text may hold on the wire, without its CR LF.
inline constexpr std::size_t maxLineLength = 998;

// The text with every line end, CR LF, CR or LF, made CR LF.
std::string WithCrLfLineEnds(std::string_view text);

// Whether text has a line, ending at a CR or an LF or at the end, longer than limit
// octets.
bool HasLineLongerThan(std::string_view text, std::size_t limit);
