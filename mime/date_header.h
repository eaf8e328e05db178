// The value of the Date header (RFC 2822 date-time): English day and month names and
// the numeric zone of the local time.
#pragma once

#include <ctime>
#include <string>

// The zone of a bias in minutes (UTC = local time + bias): the sign of the offset
// (-bias), "+" for zero, then its hours and minutes as two digits each. -60 gives
// "+0100", 300 gives "-0500".
std::string ZoneText(int biasMinutes);

// "Sun, 06 Dec 2026 22:17:39 +0000" for an instant, in the local time zone.
std::string DateText(std::time_t when);
