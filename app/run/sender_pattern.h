// The SenderMatch of an account: which envelope senders send through it.
#pragma once

#include <string_view>

// True when sender matches one of patterns: patterns separated by commas, each with the
// spaces around it ignored, where "*" stands for any run of characters (none too), "?"
// for any one, and every other character for itself without regard to ASCII case
// ("*@Work.example" matches "ann@work.EXAMPLE"). An empty pattern matches nothing; so
// does every pattern for an empty sender.
bool SenderMatches(std::string_view patterns, std::string_view sender);
