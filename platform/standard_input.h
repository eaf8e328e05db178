// Standard input read as bytes, as a message arrives from the program that calls the
// sendmail face: no line-end translation, interrupted reads repeated.
#pragma once

#include <cstddef>

// Reads up to capacity bytes into buffer: the count read, 0 at the end of the input,
// -1 when the read failed.
long ReadStandardInput(char* buffer, std::size_t capacity);
