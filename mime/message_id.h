// Message-ID values (RFC 5322 3.6.4): a fresh random left part at a domain that names
// the sender.
#pragma once

#include <string>
#include <string_view>

// "left@domain" (the angle brackets are the header's): 44 hexadecimal digits from two
// fresh UUIDs (170 random bits), at the domain of the sender's address; when that has
// none that fits a Message-ID (a dot-atom or an address literal of at most 255
// octets), at the HELO name; when that doesn't fit either, at "localhost".
std::string MakeMessageId(std::string_view senderAddress, std::string_view heloName);

// Whether an extra header line sets the Message-ID field itself (name compared without
// regard to case).
bool IsMessageIdLine(std::string_view line);
