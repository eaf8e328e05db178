// SIZE (RFC 1870) and SMTPUTF8 (RFC 6531) on MAIL FROM, and the size check before it.
#include "smtp/envelope_extensions.h"

#include "errors/message_table.h"
#include "errors/raise.h"

std::string MailFromParameters(const CServerExtensions& offered, std::optional<std::uint64_t> size,
                               bool smtpUtf8) {
  std::string parameters;
  if (offered.size && size) parameters += " SIZE=" + std::to_string(*size);
  if (smtpUtf8) parameters += " SMTPUTF8";
  return parameters;
}

std::size_t MailFromParametersRoom(const CServerExtensions& offered, bool smtpUtf8) {
  constexpr std::size_t sizeParameter = std::string_view(" SIZE=").size() + 20;  // 2^64 - 1
  constexpr std::size_t smtpUtf8Parameter = std::string_view(" SMTPUTF8").size();
  return (offered.size ? sizeParameter : 0) + (smtpUtf8 ? smtpUtf8Parameter : 0);
}

std::string WithMailFromParameters(std::string command, const std::string& parameters) {
  constexpr std::string_view lineEnd = "\r\n";
  if (parameters.empty() || !command.ends_with(lineEnd)) return command;
  command.insert(command.size() - lineEnd.size(), parameters);
  return command;
}

void RefuseOversizedMessage(const CServerExtensions& offered, std::optional<std::uint64_t> size) {
  if (!offered.size || offered.sizeLimit == 0 || !size || *size <= offered.sizeLimit) return;
  RaiseSmtpError(msgMessageTooLarge, FACILITY_ITF,
                 "the message has " + std::to_string(*size) + " octets, and the server takes at most " +
                     std::to_string(offered.sizeLimit) + " (SIZE " + std::to_string(offered.sizeLimit) + ")");
}
