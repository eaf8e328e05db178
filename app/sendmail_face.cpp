// The sendmail face's run: options, the message's header, the recipients and the
// envelope sender, the header rules, then the engine with the program's settings.
#include "app/sendmail_face.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <ctime>
#include <exception>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "app/aliases.h"
#include "app/body_stream.h"
#include "app/message_reader.h"
#include "app/send_run.h"
#include "app/sendmail_connection.h"
#include "app/sendmail_failure.h"
#include "app/sendmail_options.h"
#include "app/settings.h"
#include "errors/exceptions.h"
#include "mime/address.h"
#include "mime/date_header.h"
#include "mime/header_folding.h"
#include "mime/message_id.h"
#include "platform/standard_input.h"
#include "platform/terminal_text.h"
#include "platform/win_app.h"

namespace {

constexpr const char* defaultAliasesFile = "/etc/aliases";

struct SendmailSettings {
  std::string senderEMail;
  std::string senderName;
  std::string recipientEMail;
  std::string aliasesFile;  // empty: none
  std::string server;
  std::string port;
  int authMethod = 0;
};

SendmailSettings ReadSendmailSettings() {
  SendmailSettings settings;
  settings.senderEMail = ReadSmtpSetting("SenderEMail", "");
  settings.senderName = ReadSmtpSetting("SenderName", "");
  settings.recipientEMail = ReadSmtpSetting("RecipientEMail", "");
  settings.aliasesFile = ReadSmtpSetting("Aliases", "");
  std::error_code ignored;
  if (settings.aliasesFile.empty() && std::filesystem::exists(defaultAliasesFile, ignored)) {
    settings.aliasesFile = defaultAliasesFile;
  }
  settings.server = ReadSmtpSetting("Server", "");
  settings.port = ReadSmtpSetting("Port", "25");
  settings.authMethod = std::atoi(ReadSmtpSetting("AuthMethod", "").c_str());
  if (settings.server.empty()) {
    throw CSendmailFailure{SendmailConfigError, "no SMTP server: set Server in the settings"};
  }
  return settings;
}

CAliases ReadAliases(const std::string& path) {
  if (path.empty()) return {};
  std::ifstream file(path, std::ios::binary);
  std::ostringstream text;
  if (!(file && text << file.rdbuf())) {
    throw CSendmailFailure{SendmailConfigError, "the aliases file " + path + " cannot be read (setting Aliases)"};
  }
  return CAliases::Parse(text.str());
}

// An address that can go between the angle brackets of a command: no blank, control
// character or bracket can end it early (and so add a parameter or command).
bool IsSendableAddress(std::string_view address) {
  return !address.empty() && address.size() <= 320 &&
         std::none_of(address.begin(), address.end(), [](unsigned char c) {
           return c <= ' ' || c == 0x7f || c == '<' || c == '>' || c == ',' || c == ';';
         });
}

void CheckAddress(const std::string& address, SendmailStatus status) {
  if (!IsSendableAddress(address)) throw CSendmailFailure{status, "not a valid address: " + address};
}

// The operands' and (with -t) the header's recipients, local names resolved; each
// checked, each once.
std::vector<std::string> Recipients(const SendmailOptions& options, const MessageHeader& header,
                                    const SendmailSettings& settings) {
  std::vector<std::pair<std::string, SendmailStatus>> given;
  for (const std::string& operand : options.recipients) {
    for (std::string& address : AddressesOf(operand)) given.emplace_back(std::move(address), SendmailUsage);
  }
  if (options.recipientsFromHeader) {
    for (const HeaderField& field : header.fields) {
      if (!field.IsNamed("To") && !field.IsNamed("Cc") && !field.IsNamed("Bcc")) continue;
      for (std::string& address : AddressesOf(field.Value())) given.emplace_back(std::move(address), SendmailDataError);
    }
  }
  if (given.empty()) throw CSendmailFailure{SendmailUsage, "no recipients: give addresses or -t"};

  const CAliases aliases = ReadAliases(settings.aliasesFile);
  std::vector<std::string> recipients;
  auto add = [&](const std::string& address) {
    if (std::ranges::find(recipients, address) == recipients.end()) recipients.push_back(address);
  };
  for (const auto& [address, status] : given) {
    CheckAddress(address, status);
    if (!IsLocalName(address)) {
      add(address);
      continue;
    }
    for (const std::string& resolved : aliases.Resolve(address)) {
      if (!IsLocalName(resolved)) {
        CheckAddress(resolved, SendmailConfigError);
        add(resolved);
      } else if (!settings.recipientEMail.empty()) {
        add(settings.recipientEMail);
      } else {
        throw CSendmailFailure{SendmailNoUser, "the local name " + resolved +
                                                   " has no address: set RecipientEMail in the settings, "
                                                   "or an alias in the aliases file (setting Aliases)"};
      }
    }
  }
  return recipients;
}

// The address of the header's From line, when it has one with a domain.
std::string FromLineAddress(const MessageHeader& header) {
  const HeaderField* from = header.Find("From");
  if (from == nullptr) return {};
  std::vector<std::string> addresses = AddressesOf(from->Value());
  return addresses.empty() || IsLocalName(addresses.front()) ? std::string() : addresses.front();
}

std::string EnvelopeSender(const SendmailOptions& options, const SendmailSettings& settings,
                           const MessageHeader& header) {
  std::string sender = !options.sender.empty()        ? options.sender
                       : !settings.senderEMail.empty() ? settings.senderEMail
                                                       : FromLineAddress(header);
  if (sender.empty()) {
    throw CSendmailFailure{SendmailConfigError,
                           "no sender address: set SenderEMail in the settings, or give -f or a From line"};
  }
  CheckAddress(sender, SendmailUsage);
  return sender;
}

void AddField(MessageHeader& header, const std::string& text, bool first = false) {
  HeaderField field{text.substr(0, text.find(':')), FoldHeaderField(text)};
  header.fields.insert(first ? header.fields.begin() : header.fields.end(), std::move(field));
}

// The header rules: Bcc never shows; a From line is added when missing and replaced
// when its address has no domain (a name of this machine means nothing past it); Date,
// Message-ID and a To line are added when missing.
void ApplyHeaderRules(MessageHeader& header, const SendmailOptions& options,
                      const SendmailSettings& settings, const std::string& sender,
                      const std::string& heloName) {
  header.Remove("Bcc");
  header.Remove("Resent-Bcc");
  const bool fromWithoutDomain = header.Find("From") != nullptr && FromLineAddress(header).empty();
  if (header.Find("From") == nullptr || fromWithoutDomain) {
    header.Remove("From");
    const std::string name = options.fullName.empty() ? settings.senderName : options.fullName;
    const std::string address = settings.senderEMail.empty() ? sender : settings.senderEMail;
    AddField(header, "From: " + CTAVSMTPAddress(name, address).ToHeaderText(true, RunCharset()), true);
  }
  if (header.Find("Date") == nullptr) AddField(header, "Date: " + DateText(std::time(nullptr)));
  if (header.Find("Message-ID") == nullptr) {
    AddField(header, "Message-ID: <" + MakeMessageId(sender, heloName) + ">");
  }
  if (header.Find("To") == nullptr && header.Find("Cc") == nullptr) {
    AddField(header, "To: undisclosed-recipients:;");
  }
}

// The charset of an 8-bit body that is not UTF-8: the one LANG names, else
// unknown-8bit (RFC 1428).
std::string LangCharset() {
  const char* lang = std::getenv("LANG");
  std::string_view text = lang != nullptr ? lang : "";
  std::size_t dot = text.find('.');
  if (dot == std::string_view::npos) return "unknown-8bit";
  std::string charset(text.substr(dot + 1, text.find('@') == std::string_view::npos
                                               ? std::string_view::npos
                                               : text.find('@') - dot - 1));
  std::string lower = charset;
  std::ranges::transform(lower, lower.begin(), [](unsigned char c) { return std::tolower(c); });
  return charset.empty() || lower == "utf-8" || lower == "utf8" ? "unknown-8bit" : charset;
}

// Chooses how the body goes out. A message without MIME whose body needs it (or whose
// body is too long to look at whole) goes out quoted-printable with the MIME lines; a
// MIME message goes as it is, and is refused when it cannot.
bool ChooseQuotedPrintable(MessageHeader& header, CBodyStream& body) {
  const CBodyFacts& facts = body.LookAhead();
  if (header.Find("MIME-Version") != nullptr) {
    if (facts.firstBadLine != 0) {
      throw CSendmailFailure{SendmailDataError,
                             "line " + std::to_string(header.lines + facts.firstBadLine) +
                                 " of the message holds a NUL or is longer than 998 octets, "
                                 "and a MIME message is sent as it is"};
    }
    return false;
  }
  if (!facts.eightBit && facts.firstBadLine == 0 && body.Complete()) return false;
  const std::string charset = !facts.eightBit || facts.validUtf8 ? "UTF-8" : LangCharset();
  header.Remove("Content-Type");
  header.Remove("Content-Transfer-Encoding");
  AddField(header, "MIME-Version: 1.0");
  AddField(header, "Content-Type: text/plain; charset=" + charset);
  AddField(header, "Content-Transfer-Encoding: quoted-printable");
  return true;
}

// -N, -R and -V. Without -N, notifications are asked for on failure and delay, as a
// server does by default. The envelope id is a MAIL FROM parameter value (RFC 3461
// xtext): a blank would start another parameter.
void ApplyDsnOptions(const SendmailOptions& options, SendmailEnvelope& envelope) {
  if (!options.dsnRequested) return;
  envelope.dsnNotify = options.dsnNotify == -1 ? 2 | 4 : options.dsnNotify;
  envelope.dsnReturnFull = options.dsnReturnFull;
  envelope.dsnEnvelopeId = options.envelopeId;
  if (!std::all_of(envelope.dsnEnvelopeId.begin(), envelope.dsnEnvelopeId.end(),
                   [](char c) { return c > ' ' && c < '\x7f'; })) {
    throw CSendmailFailure{SendmailUsage, "-V " + options.envelopeId +
                                              ": an envelope id may hold no blank, control or 8-bit byte"};
  }
}

int SendmailRun(const std::vector<std::string>& arguments) {
  const SendmailOptions options = ParseSendmailOptions(arguments);
  CInputLines input(ReadStandardInput);
  MessageHeader header = ReadMessageHeader(input, options.dotEndsInput);

  CSettingsReadOnce readOnce;
  const SendmailSettings settings = ReadSendmailSettings();
  SendmailEnvelope envelope;
  envelope.recipients = Recipients(options, header, settings);
  envelope.sender = EnvelopeSender(options, settings, header);
  ApplyDsnOptions(options, envelope);

  CSendmailConnection connection(options.verbose);
  ApplyHeaderRules(header, options, settings, envelope.sender, connection.m_sHeloHostname);
  CBodyStream body(input, options.dotEndsInput, header.inputEnded);
  body.Start(ChooseQuotedPrintable(header, body), header.lines + 1);

  try {
    ConnectWithSettings(connection, settings.authMethod);
  } catch (const CException& error) {
    throw EngineFailure(error, true, "cannot connect to " + settings.server + " port " + settings.port);
  }
  try {
    connection.SendStreamed(envelope, header.Text(), body);
  } catch (const CException& error) {
    const std::string& refused = connection.m_sRefusedRecipient;
    throw EngineFailure(error, false, refused.empty() ? "the message was not sent"
                                                      : "the recipient " + refused +
                                                            " was refused, and the message sent to no one");
  }
  return SendmailSent;
}

class CSendmailApp : public CWinApp {
 public:
  using CWinApp::CWinApp;

  bool InitInstance() override {
    if (!AfxSocketInit()) {
      WriteErrorLine("Windows Sockets could not be started");
      m_nExitCode = SendmailSystemError;
      return false;
    }
    try {
      m_nExitCode = SendmailRun(runArguments);
    } catch (const CSendmailFailure& failure) {
      WriteErrorLine(failure.text);
      m_nExitCode = failure.status;
    } catch (const std::exception& error) {  // memory, a file system call
      WriteErrorLine(error.what());
      m_nExitCode = SendmailSystemError;
    }
    return false;
  }

  std::vector<std::string> runArguments;
};

}  // namespace

int SendmailMain(std::vector<std::string> arguments) {
  CSendmailApp app(arguments);
  app.runArguments = std::move(arguments);
  return app.Run();
}
