// Header values: unstructured text and display names (RFC 5322 3.2.5), with RFC 2047
// encoded words in the "Q" encoding where the text can't go out as it is.
#pragma once

#include <string>
#include <string_view>

// The longest encoded word written: one fits a 78-character line after the longest
// field name that carries one ("Reply-To: "), and it stays within RFC 2047's 75.
inline constexpr std::size_t maxEncodedWordLength = 68;

// RFC 5322 atext: the printable ASCII characters but the specials "()<>[]:;@\,." and
// '"'.
bool IsAtext(char c);

// The header value of an ANSI text, converted to UTF-8 first when the charset is
// "UTF-8". The text is read as words (runs without space or TAB) and the white space
// between them. A word goes out as it is unless it holds a byte of 128 and above, a
// control character, "=?" (which a reader would take for an encoded word), or more
// than 997 characters (which no header line could hold). Such words, with the words
// and white space between them, become encoded words, so an encoded word never
// touches other text and decodes with its spaces. Each encoded word holds at most
// maxEncodedWordLength characters and, with "UTF-8", whole characters; adjacent ones
// are separated by CR LF SP, which readers drop. In them a space becomes "_", and "=",
// "?", "_", TAB, control characters and bytes of 128 and above become "=XX".
std::string EncodeHeaderText(std::string_view text, std::string_view charset);

// A display name as the phrase of "name <address>": as it is when it is made of atoms
// (RFC 5322 atext and white space); a quoted string, with "\" and '"' escaped, when
// it holds a special such as "," ";" "." '"' "<"; encoded words as EncodeHeaderText
// makes them when it holds text that needs them, where every word that holds a special
// is encoded too and the encoded words escape everything but letters, digits and
// "! * + - /" (RFC 2047 5(3)), so no reader sees a comma or bracket in the name.
std::string EncodeDisplayName(std::string_view name, std::string_view charset);
