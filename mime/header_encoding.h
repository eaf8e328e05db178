// Header values with 8-bit text: RFC 2047 encoded words in the "Q" encoding.
#pragma once

#include <string>
#include <string_view>

// A chunk that holds no byte of 128 and above and no control character other than TAB
// comes back unchanged. Any other chunk becomes one encoded word,
// "=?charset?q?...?=": a space becomes "_", and "=", "?", "_", TAB, the other control
// characters and every byte of 128 and above become "=XX". Escaping CR and LF keeps a
// value from starting a header line of its own; escaping TAB keeps the word whole.
std::string EncodeHeaderChunk(std::string_view chunk, std::string_view charset);

// The header value of an ANSI text: converted to UTF-8 first when the charset is
// "UTF-8", then cut into chunks of 70 bytes, each passed through EncodeHeaderChunk and
// the results joined with nothing between them. With "UTF-8" a chunk ends before a
// character that it would cut, so every encoded word holds whole characters. Values
// are never folded.
std::string EncodeHeaderText(std::string_view text, std::string_view charset);
