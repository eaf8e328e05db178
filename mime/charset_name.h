// Charset names as a MIME header may carry them (RFC 2978 2.3): a name taken from
// outside (the locale's name in LANG) goes into a Content-Type line only when it is
// one, so no such text can end the line or add a parameter.
#pragma once

#include <string_view>

// The longest charset name RFC 2978 registers.
inline constexpr std::size_t maxCharsetNameLength = 40;

// True when name is 1 to 40 of RFC 2978's mime-charset-chars: letters, digits and
// ! # $ % & ' + - ^ _ ` { } ~.
bool IsMimeCharsetName(std::string_view name);
