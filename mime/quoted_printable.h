// The quoted-printable body encoding (RFC 2045, 6.7), and when a text needs it.
#pragma once

#include <string>
#include <string_view>

// Escapes "=", DEL, the control characters other than TAB, CR and LF, every byte of 128
// and above, and a space or tab that ends a line (which a hop could strip) as "=XX";
// other spaces and tabs stay. Lines, cut at each CR and LF, that hold more than 76
// characters get soft line breaks ("=" CR LF) after the last space, tab or complete
// escape triplet that fits, or else as late as the limit allows without splitting a
// triplet. The line ends of the text stay as they are.
std::string EncodeQuotedPrintable(std::string_view text);

// Whether a text can't go out as it is (RFC 5322 2.3, RFC 2045 2.7): it holds a byte of
// 128 and above, a NUL, or a line (ending at CR or LF) longer than 998 octets.
bool NeedsQuotedPrintable(std::string_view text);
