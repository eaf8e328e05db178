// SMTP dot stuffing (RFC 5321, 4.5.2): a dot that begins a line is doubled, so no line
// of the text can be taken for the end-of-data line; the server removes one again.
#pragma once

#include <string>
#include <string_view>

// Doubles a "." at the start of the text and after every CR LF, in place. Lines are
// CR LF lines: a dot after a bare LF stays single.
void DotStuff(std::string& text);

// The text as it may go after DATA: every line end (CR LF, a bare CR, a bare LF) made
// CR LF first, then dot-stuffed, so that no byte of it can end the data early, however
// lenient the server's reading of a line end.
std::string DataText(std::string_view text);
