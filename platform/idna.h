// Internationalised domain names (IDNA2008, RFC 5890 and 5891): a domain name's ASCII
// form, each label that is not ASCII as its A-label ("xn--" and Punycode, RFC 3492).
#pragma once

#include <string>
#include <string_view>

// The ASCII form of a domain name given in UTF-8, mapped as UTS #46 non-transitional
// processing maps it (so "Bücher.example" gives "xn--bcher-kva.example"), a host name's
// letters, digits and hyphens only (the STD3 rules). False, with the converter's reason
// in reason, when the name is not a valid internationalised domain name (a disallowed
// character, a label too long, text that is not UTF-8).
bool DomainToAscii(std::string_view utf8Domain, std::string& ascii, std::string& reason);
