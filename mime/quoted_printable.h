// The quoted-printable body encoding (RFC 2045, 6.7).
#pragma once

#include <string>
#include <string_view>

// Escapes "=", DEL, the control characters other than TAB, CR and LF, and every byte of
// 128 and above as "=XX"; spaces and tabs are never escaped. Lines, cut at each CR and
// LF, that hold more than 76 characters get soft line breaks ("=" CR LF) after the last
// space, tab or complete escape triplet that fits, or else as late as the limit allows
// without splitting a triplet. The line ends of the text stay as they are.
std::string EncodeQuotedPrintable(std::string_view text);
