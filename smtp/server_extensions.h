// The service extensions that a server's EHLO reply offers (RFC 5321 section 4.1.1.1),
// those the transfer uses: PIPELINING (RFC 2920), SIZE (RFC 1870), SMTPUTF8 (RFC 6531).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

struct CServerExtensions {
  bool pipelining = false;
  bool size = false;            // SIZE is offered: MAIL FROM may carry SIZE=
  std::uint64_t sizeLimit = 0;  // SIZE's fixed maximum in octets; 0 when none is declared
  bool smtpUtf8 = false;
  bool dsn = false;             // DSN is offered: MAIL FROM may carry RET and ENVID (RFC 3461)
};

// True when a line of the EHLO reply names keyword as its first word after the code,
// in any letter case.
bool OffersExtension(const std::string& reply, std::string_view keyword);

// What the EHLO reply offers of the extensions above. A SIZE parameter that is not a
// decimal number below 2^64 declares no limit.
CServerExtensions ReadServerExtensions(const std::string& reply);

// Whether a line of the EHLO reply ("250-AUTH ..." or "250 AUTH ...", also the older
// "AUTH=..." form) lists mechanism, in any letter case.
bool OffersAuthMechanism(std::string_view reply, std::string_view mechanism);
