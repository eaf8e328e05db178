// A parameter of a Content-Type or Content-Disposition line (RFC 2045 5.1): printable
// ASCII as a quoted string, anything else as an RFC 2231 extended value in UTF-8.
#pragma once

#include <string>
#include <string_view>

// "attribute=\"value\"" with '\' and '"' escaped by '\' when value is printable ASCII
// (a space included); otherwise "attribute*=UTF-8''" and the value, converted from the
// ANSI code page to UTF-8, with every byte outside RFC 2231's attribute-char written
// %XX. Either way the text holds no line end and no ';' outside quotes, so it never
// adds a parameter or a header line.
std::string HeaderParameter(std::string_view attribute, std::string_view value);
