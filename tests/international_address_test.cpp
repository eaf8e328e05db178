// Internationalised addresses: the A-label of a domain that is not ASCII (IDNA2008,
// UTS #46 non-transitional), UTF-8 with SMTPUTF8, and the refusals (564) that name the
// address and why (which address a message's refusal names, and that the caller's
// addresses come back, are in envelope_extensions_test). The process runs in the C
// locale, whose code page counts as UTF-8.
#include <string>

#include <gtest/gtest.h>

#include "platform/idna.h"
#include "smtp/international_address.h"
#include "tests/support/catch_error.h"
#include "tests/support/smtp_client.h"

TEST(DomainToAscii, NonAsciiLabelsBecomeALabelsAndInvalidNamesAreRefused) {
  struct Case {
    std::string domain;
    const char* ascii;  // null: refused
  };
  const Case cases[] = {
      {"\xc3\xbc" + std::string(60, 'a') + ".example", nullptr},  // an A-label of 64 octets
      {"b\xc3\xbc" "cher.example", "xn--bcher-kva.example"},
      {"B\xc3\x9c" "CHER.Example", "xn--bcher-kva.example"},    // mapped to lower case
      {"fa\xc3\x9f.de", "xn--fa-hia.de"},                         // non-transitional: ß stays
      {"\xe4\xbe\x8b\xe3\x81\x88.\xe3\x83\x86\xe3\x82\xb9\xe3\x83\x88", "xn--r8jz45g.xn--zckzah"},
      {"\xd0\xbf\xd1\x80\xd0\xb8\xd0\xbc\xd0\xb5\xd1\x80.\xd1\x80\xd1\x84", "xn--e1afmkfd.xn--p1ai"},
      {"a\xe2\x80\x8d" "b.example", nullptr},                     // a joiner where none may stand
      {"\xc3\xbc\xff.example", nullptr},                          // not UTF-8
      {"-\xc3\xbc.example", nullptr},                            // a hyphen may not start a label
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.domain);
    std::string ascii;
    std::string reason;
    const bool converted = DomainToAscii(c.domain, ascii, reason);
    EXPECT_EQ(converted, c.ascii != nullptr) << reason;
    if (c.ascii != nullptr) {
      EXPECT_EQ(ascii, c.ascii);
    } else {
      EXPECT_FALSE(reason.empty());
    }
  }
}

TEST(TransferAddress, AsciiStaysDomainsBecomeALabelsOrUtf8AndLocalPartsNeedSmtpUtf8) {
  struct Case {
    const char* address;
    bool smtpUtf8;
    const char* sent;    // null: refused with 564
    const char* reason;  // what the refusal's text holds
  };
  const Case cases[] = {
      {"Dots.And+Tags@Example.COM", false, "Dots.And+Tags@Example.COM", ""},
      {"Dots.And+Tags@Example.COM", true, "Dots.And+Tags@Example.COM", ""},
      {"Anna@B\xc3\xbc" "cher.example", false, "Anna@xn--bcher-kva.example", ""},
      {"anna@b\xc3\xbc" "cher.example", true, "anna@b\xc3\xbc" "cher.example", ""},
      {"j\xc3\xbcrgen@example.com", true, "j\xc3\xbcrgen@example.com", ""},
      {"j\xc3\xbcrgen@example.com", false, nullptr, "local part is not ASCII"},
      {"j\xc3\xbcrgen", false, nullptr, "local part is not ASCII"},
      {"\"a@b\"@b\xc3\xbc" "cher.example", false, "\"a@b\"@xn--bcher-kva.example", ""},
      {"anna@a\xe2\x80\x8d" "b.example", false, nullptr, "not a valid internationalised domain"},
      {"anna@a\xe2\x80\x8d" "b.example", true, nullptr, "not a valid internationalised domain"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.address) + (c.smtpUtf8 ? " with SMTPUTF8" : ""));
    if (c.sent != nullptr) {
      EXPECT_EQ(TransferAddress(c.address, c.smtpUtf8), c.sent);
      continue;
    }
    const auto raised = SmtpErrorOf([&] { TransferAddress(c.address, c.smtpUtf8); });
    ASSERT_TRUE(raised);
    EXPECT_EQ(raised->m_hrError, Itf(564));
    EXPECT_TRUE(raised->m_sLastResponseText.starts_with(std::string(c.address) + ": "));
    EXPECT_NE(raised->m_sLastResponseText.find(c.reason), std::string::npos)
        << raised->m_sLastResponseText;
  }
}
