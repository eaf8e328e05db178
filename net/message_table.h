// The engine's message table: one text per failure, ids 512 to 547, raised in the
// interface facility. "%1" in a text stands for the exception's response text.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// The text of message id with every "%1" replaced by insert; empty for an id that is
// not in the table. Texts without "%1" ignore insert.
std::string FormatTableMessage(std::uint32_t id, std::string_view insert);
