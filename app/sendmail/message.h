// The sendmail face's message on its way out, the same for a message sent at once and
// for one sent from the queue: the settings it goes out with, the header rules, and the
// choice of how its body goes on the wire.
#pragma once

#include <ctime>
#include <string>

#include "app/sendmail/body_stream.h"
#include "app/sendmail/mail_log.h"
#include "app/sendmail/message_reader.h"

struct SendmailSettings {
  std::string senderEMail;
  std::string senderName;
  std::string recipientEMail;
  std::string aliasesFile;  // empty: none
  std::string server;
  std::string port;
  int authMethod = 0;
  bool queue = true;          // Queue: 0 turns the queue off
  int queueLifetimeDays = 5;  // QueueLifetime
  MailLogSettings log;        // Log, LogFile and what the log line names
};

// The settings of the sendmail face come in two reads, both with a CSettingsReadOnce
// held. ReadRunSettings reads those that are the same whatever the account, before an
// account is chosen: RecipientEMail, Aliases, Queue, QueueLifetime, Log and LogFile
// (the queue is one for all accounts). It throws CSendmailFailure 78
// (SendmailConfigError) when Queue, QueueLifetime or Log is not a number (or the
// lifetime is below 0).
SendmailSettings ReadRunSettings();
// Then ReadAccountSettings adds those of the account in use (UseSmtpAccount): SenderEMail,
// SenderName, Server, Port, AuthMethod and what the log line names. Throws
// CSendmailFailure 78 when Server is missing, StartTLS is not a number, or SSL does not
// start with one.
void ReadAccountSettings(SendmailSettings& settings);

// The address of the header's From line, when it has one with a domain.
std::string FromLineAddress(const MessageHeader& header);

// Makes the header and the body ready to go: the header rules (Bcc never shows; a From
// line is added when missing and replaced when its address has no domain; Date, with
// date, Message-ID and a To line are added when missing), then the body's encoding
// (quoted-printable with the MIME lines for a body that needs it), then starts the
// body. fullName: -F. Throws CSendmailFailure 65 for a MIME message that cannot go as
// it is, 74 when the input fails.
void PrepareMessage(MessageHeader& header, CBodyStream& body, const std::string& fullName,
                    const SendmailSettings& settings, const std::string& sender,
                    const std::string& heloName, std::time_t date);
