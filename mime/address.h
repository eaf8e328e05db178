// A mailbox with its display name, as the header lines show it (RFC 2822 name-addr).
#pragma once

#include <string>

class CTAVSMTPAddress {
 public:
  CTAVSMTPAddress() = default;
  CTAVSMTPAddress(std::string name, std::string address);

  // "name <address>", or the bare address when the name is empty. With encode, the
  // name goes through EncodeDisplayName with the charset: as it is when made of atoms,
  // else a quoted string or encoded words. Without encode it goes as it is. The address
  // is never checked.
  std::string ToHeaderText(bool encode, const std::string& charset) const;

  std::string displayName;
  std::string emailAddress;
};
