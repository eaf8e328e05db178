// The MAIL FROM parameters of the service extensions that the server's EHLO reply
// offers: SIZE (RFC 1870) with the message's size, SMTPUTF8 (RFC 6531); and the size
// check that keeps a message over the server's declared limit from being sent.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "smtp/server_extensions.h"

// The most octets that MailFromParameters adds to the command: " SIZE=" with up to 20
// digits where SIZE is offered, " SMTPUTF8" with smtpUtf8.
std::size_t MailFromParametersRoom(const CServerExtensions& offered, bool smtpUtf8);

// " SIZE=n" when the server offers SIZE and the size is known, then " SMTPUTF8" with
// smtpUtf8; empty when neither applies.
std::string MailFromParameters(const CServerExtensions& offered, std::optional<std::uint64_t> size,
                               bool smtpUtf8);

// The MAIL FROM command line (as FormatMailFrom makes it, ending in CR LF) with the
// parameters added before its line end.
std::string WithMailFromParameters(std::string command, const std::string& parameters);

// Raises 563 (facility 4), whose text gives the message's size and the server's limit,
// when the server declares a limit (SIZE with a number above 0) that the known size
// passes.
void RefuseOversizedMessage(const CServerExtensions& offered, std::optional<std::uint64_t> size);
