// The program's own English texts for the numbers it raises or maps: the Linux table of
// ../system_messages.cpp, compiled on Windows under this name, for the numbers the
// system has no text for (Wine has none for most Winsock numbers and for the security
// statuses).
#pragma once

#include <cstdint>
#include <string>

std::string BuiltInSystemMessageText(std::uint32_t number);
