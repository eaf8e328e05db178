// The name of the machine the program runs on.
#pragma once

#include <cstddef>

// Writes the machine's host name into buffer, NUL-terminated when it is shorter than
// size bytes; false when the system cannot tell it (gethostname on Linux, the DNS
// host name from GetComputerNameExA on Windows).
bool LocalHostName(char* buffer, std::size_t size);
