// Messages that other mailers break on the way (long ASCII, UTF-8 and Cyrillic
// subjects, character borders of the encoded words, body lines of 1,500 and 10,000
// characters, trailing blanks, 8-bit bodies in the C, C.UTF-8 and a Latin-1 locale,
// display names with specials), built for sending and checked as a server stored
// them: every line within its limit, and Python's email and Perl's Email::MIME reading
// each back exactly as it was sent.
#pragma once

#include <string>
#include <vector>

#include "mime/message.h"

struct HardCase {
  const char* name;
  const char* locale;  // "C", "C.UTF-8" or "Latin-1": the code page of the texts
  std::string subject;
  std::string senderName;
  std::string body;
  bool mime = false;
};

std::vector<HardCase> HardCases();

// Switches the process to the locale of the case (a test failure when it can't).
void UseLocaleOf(const HardCase& hard);

// Fills the new message m with the case, from "sender@example.com" to recipient; in
// the case's locale.
void ComposeHardMessage(const HardCase& hard, const CTAVSMTPAddress& recipient, CTAVSMTPMessage& m);

// Test failures unless stored, the message of the case as a server kept it (lines
// ended by lineEnd, the server's own trace lines first), has no line over 998 octets
// and no line of the sent header block over 78 characters, and both readers, given
// the copy written to path, read it back as sent to recipient.
void ExpectReadBackAsSent(const HardCase& hard, const CTAVSMTPAddress& recipient,
                          const std::string& stored, const std::string& lineEnd,
                          const std::string& path);
