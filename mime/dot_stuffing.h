// SMTP dot stuffing (RFC 5321, 4.5.2): a dot that begins a line is doubled, so no line
// of the text can be taken for the end-of-data line; the server removes one again.
#pragma once

#include <string>

// Doubles a "." at the start of the text and after every CR LF, in place. Lines are
// CR LF lines: a dot after a bare LF stays single.
void DotStuff(std::string& text);
