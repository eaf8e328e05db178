// Header fields folded onto continuation lines (RFC 5322 2.2.3), so that lines stay
// within 78 characters where the text allows it.
#pragma once

#include <string>
#include <string_view>

// The length a folded line keeps to where it can, without its CR LF.
inline constexpr std::size_t foldedLineLength = 78;

// The field ("Name: value", without its final CR LF) with CR LF put before white
// space wherever a line would pass foldedLineLength: before the last blank that keeps
// the line short enough, else the first one after. A fold goes before the last blank
// of a run, never leaves a line of white space alone, and keeps the field name with
// the first word of its value unless only that fold keeps the line within 998
// characters. Text already on continuation lines (encoded words) is folded line by
// line. Unfolding, which removes each CR LF, gives the field back.
std::string FoldHeaderField(std::string_view field);
