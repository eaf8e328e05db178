// The addresses of the script options (--to, --from, ...): a list separated by commas,
// each a bare address ("ops@example.org") or a display name and an address in angle
// brackets ("Ops Team <ops@example.org>", "\"Ops, Team\" <ops@example.org>").
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "mime/address.h"

// The addresses of text in order; a quoted display name has its quotes removed and its
// "\" escapes undone. nullopt when an item is not an address: an empty item, an
// unclosed quote or bracket, text after the ">", or an address that is not
// local@domain (one "@" with text on both sides; no white space, control character,
// quote, bracket, comma or ";"), also a display name holding a control character;
// refused then names that item.
std::optional<std::vector<CTAVSMTPAddress>> ParseAddressList(std::string_view text, std::string& refused);
