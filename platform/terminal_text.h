// Texts shown to the user, made safe for where they go. A message may hold what a server
// sent, so nothing in it may act on the terminal (an escape sequence that sets the
// window title, clears the screen or answers back), and a hostile server may make it
// as long as it likes: each message is cut at messageTextLimit bytes, with a visible
// mark, before it is written or shown.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

constexpr std::size_t messageTextLimit = 4096;

// text cut to at most limit bytes (never inside a UTF-8 character when utf8 is set),
// followed by a line saying how many bytes were left out; text itself when it fits.
std::string CutMessageText(std::string_view text, bool utf8,
                           std::size_t limit = messageTextLimit);

// text as it may reach a terminal: CR LF becomes LF; LF and TAB stay; every other
// control character (C0, DEL, and the C1 range) and, when utf8 is set, every byte that
// is not part of a well-formed UTF-8 character shows as \xHH. The result is cut as
// CutMessageText cuts.
std::string TerminalText(std::string_view text, bool utf8);

// Writes "<program>: <text>" and a line end to standard error, the text made safe with
// TerminalText for the ANSI code page.
void WriteErrorLine(std::string_view text);
