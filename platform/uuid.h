// UUIDs for MIME boundaries and envelope ids (RFC 4122).
#pragma once

#include <string>

// A fresh UUID in its 36-character text form: lower-case hexadecimal digits in groups
// of 8, 4, 4, 4 and 12 separated by "-", without braces.
std::string NewUuidText();
