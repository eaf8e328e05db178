// Postfix as the real MTA of the tests: an instance of its own, started with
// "postfix -c DIR start" and its configuration, queue, SASL accounts and mailboxes in a
// temporary directory, listening on a free port of 127.0.0.1 only (never port 25, never
// the system's mail configuration). Its submission service requires STARTTLS
// (smtpd_tls_security_level=encrypt) and authentication through Cyrus SASL with a
// sasldb (PLAIN, LOGIN, CRAM-MD5) before it takes a recipient; mail for the domain
// "mail.test" goes to Maildirs through the virtual delivery agent, and nothing leaves
// the instance. Stopped ("postfix stop", then SIGKILL if it lingers) when the object
// goes. Postfix's master must be started by the super-user.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/server_process.h"
#include "tests/support/tls_server.h"

struct PostfixOptions {
  TestCertificate certificate;  // the server's certificate and key (PEM)
  // The one SASL account, in the realm "mail.test".
  std::string user = "user";
  std::string password = "secret";
  // The mailboxes: local parts at "mail.test", and at each of moreDomains too (the same
  // Maildir for every domain).
  std::vector<std::string> mailboxes{"admin"};
  std::vector<std::string> moreDomains{};
  // message_size_limit in octets, which the EHLO reply declares with SIZE; 0: Postfix's.
  std::uint64_t messageSizeLimit = 0;
  // smtputf8_enable: SMTPUTF8 offered, and UTF-8 addresses taken.
  bool smtpUtf8 = true;
  // Also listen on [::1], at the same port.
  bool ipv6 = false;
};

class PostfixServer {
 public:
  static constexpr const char* domain = "mail.test";

  // Why Postfix cannot be started here: not the super-user, or not installed; "" when
  // it can.
  static std::string Unavailable();

  // Starts the instance; throws std::runtime_error with Postfix's output and log when
  // it does not start.
  explicit PostfixServer(const PostfixOptions& options);
  PostfixServer(const PostfixServer&) = delete;
  PostfixServer& operator=(const PostfixServer&) = delete;
  ~PostfixServer();

  std::uint16_t Port() const { return port; }
  // The files of the messages delivered to mailbox (as stored: LF line ends, Postfix's
  // Return-Path and Received lines first), sorted by name; waits (up to 30 seconds)
  // until there are at least count of them, as delivery follows the client's end of
  // data.
  std::vector<std::filesystem::path> Delivered(const std::string& mailbox,
                                               std::size_t count) const;
  // Postfix's log (maillog_file).
  std::string Log() const;

 private:
  void WriteConfiguration(const PostfixOptions& options) const;
  void WriteServices(bool ipv6) const;
  bool Start(std::string& output);
  // Runs "postfix -c DIR command"; its exit status.
  int Postfix(const std::string& command, std::string* output = nullptr) const;

  TempDir dir;
  std::uint16_t port = 0;
  bool running = false;
};
