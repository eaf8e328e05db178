// The system's own texts for the Windows, Winsock and security-status numbers that the
// engine raises or maps, in the form the error types show them.
#pragma once

#include <cstdint>
#include <string>

// The text for a number; an empty string when the system has no text for it. Windows
// and Winsock numbers are looked up as they are, security statuses as whole 32-bit
// values (0x80090302, ...).
std::string SystemMessageText(std::uint32_t number);
