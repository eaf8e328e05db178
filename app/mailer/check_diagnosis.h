// The check's diagnoses: from a failed step, what went wrong in words, what to change
// in the settings (or who must change what), and the exit status of the check.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "app/mailer/check_tls.h"

// The check's exit statuses: sysexits numbers, one for each kind of failing step.
enum CheckExitStatus : int {
  CheckPassed = 0,        // every step passed: a message would go
  CheckNoUser = 67,       // EX_NOUSER: the recipient refused
  CheckNoHost = 68,       // EX_NOHOST: the server's name does not resolve
  CheckUnavailable = 69,  // EX_UNAVAILABLE: the server refused for good or cannot be used
  CheckTemporary = 75,    // EX_TEMPFAIL: a timeout or a 4xx reply: try again later
  CheckProtocol = 76,     // EX_PROTOCOL: a reply that is not SMTP
  CheckNoPermission = 77,  // EX_NOPERM: authentication or the sender refused
  CheckConfig = 78        // EX_CONFIG: a setting is wrong or does not fit the server
};

// What the check knew when a step of the connection failed.
struct CheckFailure {
  std::string step;            // "connect", "tls", "greeting", "authentication", "envelope"
  std::uint32_t message = 0;   // the engine's message id; a Winsock number with socket
  bool socket = false;         // a socket failure (facility 7)
  std::string text;            // the failure's text (the server's reply, the TLS reason)
  std::string server;
  int port = 0;
  bool ssl = false;
  bool startTls = false;
  int authMethod = 0;
  std::uint32_t timeoutSeconds = 0;
  std::string greeting;        // the greeting as far as it came
  std::string ehloReply;       // the last EHLO reply, if any
  std::string sender;
  std::string recipient;
  std::optional<TlsFacts> certificate;  // the server's certificate, seen without the check
};

struct Diagnosis {
  std::string problem;
  std::string change;
  int exitStatus = CheckUnavailable;
};

Diagnosis Diagnose(const CheckFailure& failure);
