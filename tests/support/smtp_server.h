// The SMTP test server: aiosmtpd (smtp_server.py) on a free port of 127.0.0.1, plain,
// with implicit TLS or with STARTTLS, offering the chosen AUTH mechanisms, and keeping every message it
// receives for the test to read. Stopped when the object goes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/server_process.h"
#include "tests/support/tls_server.h"

struct SmtpServerOptions {
  // AUTH mechanisms by the script's names: "LOGIN", "PLAIN" (the clear-text dialogue),
  // "CRAM-MD5", "NTLM", "BUILTIN-LOGIN", "BUILTIN-PLAIN" (aiosmtpd's own, RFC 4616),
  // "OAUTHBEARER", "XOAUTH2" (a wrong token gets the error challenge with the JSON
  // {"status":"invalid_token","scope":"https://mail.test/"}). None by default.
  std::vector<std::string> mechanisms{};
  // MAIL FROM is refused (530) before a successful AUTH.
  bool authRequired = false;
  // The account of every mechanism but NTLM; the OAuth mechanisms' token is password.
  std::string user = "user";
  std::string password = "secret";
  // The NTLM accounts, lines "DOMAIN:user:password".
  std::string ntlmUsers{};
  // Implicit TLS, or STARTTLS offered and required before anything but EHLO, NOOP
  // and QUIT, with certificate, by default a fresh self-signed one for "localhost".
  bool tls = false;
  bool startTls = false;
  std::optional<TestCertificate> certificate{};
  // Announces DSN and takes its parameters (RET, ENVID, NOTIFY, ORCPT), which the
  // envelope records; without it they are refused with 555.
  bool dsn = false;
  // Recipients refused at RCPT TO with
  // "550 5.1.1 <address>: Recipient address rejected: User unknown".
  std::vector<std::string> rejectedRecipients{};
  // Recipients refused the first time only, with "451 4.3.0 <address>: Try again later".
  std::vector<std::string> deferredRecipients{};
  // Closes the connection on QUIT instead of answering 221.
  bool dropOnQuit = false;
  // Cuts the file at path to size bytes, or extends it with zeros, when the first line
  // of message text arrives (the server reads on). Its receive buffer is then fixed at
  // 64 KiB, so the client has sent at most its send buffer's worth past that line.
  // "DATA ended" in Log() tells that the message has been stored or never will be.
  struct FileResize {
    std::string path;
    std::uint64_t size;
  };
  std::optional<FileResize> resizeOnData{};
  // The OAuth mechanisms take, instead of password, the tokens that this file lists as
  // unexpired: lines "TOKEN EXPIRY" as the test identity provider writes them.
  std::string oauthTokenFile{};
};

// One message as the server received it.
struct ReceivedMessage {
  // "MAIL FROM:<address> PARAMETERS" and one "RCPT TO:<address> PARAMETERS" per
  // recipient, each line ended by "\n" (no trailing blank without parameters); the
  // server upper-cases the parameters.
  std::string envelope;
  // The text after DATA, dots unstuffed, without the end-of-data line.
  std::string content;
};

class SmtpTestServer {
 public:
  explicit SmtpTestServer(const SmtpServerOptions& options = {});

  std::uint16_t Port() const { return server.Port(); }
  // Every message received so far, in order; each is complete once the client has the
  // reply to its end of data.
  std::vector<ReceivedMessage> Messages() const;
  // "MECHANISM identity" for every successful AUTH, in order; the identity of NTLM is
  // "DOMAIN\user".
  std::vector<std::string> Logins() const;
  // "MECHANISM user password" for every user and password refused, in order, as the
  // client sent them (CRAM-MD5 shows no password).
  std::vector<std::string> RefusedLogins() const;
  // Every command line the server has read, in order, without its line end, with CR,
  // LF, NUL and bytes past ASCII escaped as "\r", "\n", "\x00", "\xc3"; the lines within
  // AUTH and DATA are not commands. Complete up to the last command the client has the
  // reply to.
  std::vector<std::string> Transcript() const;
  std::string Log() const { return server.Log(); }

 private:
  std::vector<std::string> Command(const SmtpServerOptions& options, std::uint16_t port) const;
  // The lines of a file the server writes.
  std::vector<std::string> ReadLines(const std::string& name) const;

  TempDir dir;  // the received messages, logins and transcript
  TempDir setup;  // certificate and NTLM accounts
  std::optional<TestCertificate> certificate;
  ServerProcess server;
};
