// Internationalised addresses on their way out: an address whose local part is not
// ASCII needs the server's SMTPUTF8 (RFC 6531, with UTF-8 header addresses as RFC 6532
// allows), and a domain that is not ASCII goes out as its IDNA A-label (RFC 5891) where
// the server offers no SMTPUTF8. ASCII addresses go out as they are.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "mime/message.h"

// True when the address (in the ANSI code page) holds a byte outside ASCII.
bool IsInternationalAddress(std::string_view address);

// Whether a message with these addresses goes out with SMTPUTF8: only when one of them
// is not ASCII and the server offers it (offered). Raises 564 (facility 4) naming the
// first address whose local part is not ASCII when the server does not offer it.
bool ChooseSmtpUtf8(const std::vector<std::string_view>& addresses, bool offered);

// The address as it goes out. ASCII stays as it is. With smtpUtf8 the address is
// converted to UTF-8, its domain kept as given once the IDNA rules accept it; without,
// the domain becomes its A-label. Raises 564 (facility 4), naming the address and the
// reason, for a domain that is not a valid internationalised domain name, and, without
// smtpUtf8, for a local part that is not ASCII.
std::string TransferAddress(std::string_view address, bool smtpUtf8);

// Converts an envelope's sender and recipients to the form they go out in (ChooseSmtpUtf8
// and TransferAddress, which raise 564) and returns whether the MAIL FROM command must
// carry SMTPUTF8.
bool ConvertEnvelopeAddresses(std::string& sender, std::vector<std::string>& recipients,
                              bool offered);

// For its lifetime, the message's addresses (sender, Reply-To, To, Cc and Bcc) stand in
// the form they go out in, so that the envelope commands and the header block carry
// them so; the caller's own addresses are back in place once it ends, however it ends.
// Raises what ChooseSmtpUtf8 and TransferAddress raise.
class CTransferAddresses {
 public:
  CTransferAddresses(CTAVSMTPMessage& message, bool offered);
  ~CTransferAddresses();
  CTransferAddresses(const CTransferAddresses&) = delete;
  CTransferAddresses& operator=(const CTransferAddresses&) = delete;

  // The MAIL FROM command carries SMTPUTF8.
  bool smtpUtf8 = false;

 private:
  struct Replaced {
    CTAVSMTPAddress* address;
    std::string given;
  };
  std::vector<Replaced> replaced;
};
