// The envelope commands' texts and the checks of the addresses they carry (RFC 5321
// MAIL FROM and RCPT TO, RFC 3461 NOTIFY and ENVID), shared by the single transfer and
// the batch.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// "SUCCESS,FAILURE,DELAY" or part of it by the bits 1, 2, 4; "NEVER" when none is set.
std::string NotifyList(std::int32_t notify);

// The RCPT TO command line, with NOTIFY unless notify is -1.
std::string FormatRcptTo(const std::string& address, std::int32_t notify);

// The most octets an address may have to fit the MAIL FROM command that FormatMailFrom
// makes (with its envelope id; an empty one counted as a new one), and the RCPT TO
// command.
std::ptrdiff_t SenderRoom(std::int32_t notify, std::string_view envelopeId);
std::ptrdiff_t RecipientRoom(std::int32_t notify);

// True when text cannot go out between angle brackets: it holds CR, LF, NUL, "<" or
// ">", or it is longer than room.
bool IsUnsendableBracketedText(std::string_view text, std::ptrdiff_t room);

// The envelope id is a MAIL FROM parameter value (RFC 3461 xtext): true unless a blank
// would start another parameter, or an 8-bit or control byte has no place in a command.
bool IsEnvelopeIdSendable(std::int32_t notify, std::string_view envelopeId);

// Raises 87 (facility 7, empty text) when the sender, a recipient or the envelope id
// cannot go out in its command.
void RefuseUnsendableEnvelope(std::string_view sender, const std::vector<std::string>& recipients,
                              std::int32_t notify, std::string_view envelopeId);
