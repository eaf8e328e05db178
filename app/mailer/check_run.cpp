// The check's run: the settings, the server's name, then the engine's own connect
// sequence watched stage by stage (connect, TLS, greeting and EHLO, authentication),
// an envelope that is reset before DATA, and the report.
#include "app/mailer/check_run.h"

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "app/mailer/check_connection.h"
#include "app/mailer/check_diagnosis.h"
#include "app/mailer/check_queue.h"
#include "app/mailer/check_report.h"
#include "app/mailer/check_settings.h"
#include "app/mailer/check_token.h"
#include "app/run/connect.h"
#include "app/run/exit_codes.h"
#include "app/run/settings.h"
#include "errors/message_table.h"
#include "net/host_address.h"
#include "oauth/token_store.h"
#include "platform/last_error.h"
#include "platform/report_output.h"
#include "platform/socket_api.h"
#include "platform/system_messages.h"

namespace {

using Clock = std::chrono::steady_clock;

double MillisecondsBetween(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double, std::milli>(to - from).count();
}

// The time the connection spent in stage, up to end for the last stage.
double TimeIn(const CCheckConnection& c, CheckStage stage, Clock::time_point end) {
  double total = 0;
  for (std::size_t i = 0; i < c.m_marks.size(); ++i) {
    if (c.m_marks[i].stage != stage) continue;
    Clock::time_point next = i + 1 < c.m_marks.size() ? c.m_marks[i + 1].at : end;
    total += MillisecondsBetween(c.m_marks[i].at, next);
  }
  return total;
}

bool Reached(const CCheckConnection& c, CheckStage stage) { return c.Stage() >= stage; }

bool Visited(const CCheckConnection& c, CheckStage stage) {
  for (const CCheckConnection::Mark& mark : c.m_marks) {
    if (mark.stage == stage) return true;
  }
  return false;
}

CheckStep NameStep(const CheckSettings& s, std::optional<Diagnosis>& failure) {
  CheckStep step("server name");
  Clock::time_point start = Clock::now();
  std::vector<CSocketAddress> addresses =
      ResolveAll(s.server.c_str(), static_cast<std::uint16_t>(s.port));
  int error = LastSocketError();
  step.milliseconds = MillisecondsBetween(start, Clock::now());
  step.found = s.server + ":";
  for (const CSocketAddress& address : addresses) step.found += " " + AddressText(address);
  if (addresses.empty()) {
    step.ok = false;
    step.found += " no address";
    failure = Diagnosis{s.server + " does not resolve: " +
                            SystemMessageText(static_cast<std::uint32_t>(error)),
                        "check Server (and this machine's DNS)", CheckNoHost};
  }
  return step;
}

bool IsAscii(const std::string& text) {
  for (unsigned char c : text) {
    if (c >= 0x80) return false;
  }
  return true;
}

// The step a failure of the connect sequence belongs to.
std::string FailedStep(const CCheckConnection& c, std::uint32_t message, bool socket) {
  bool tlsMessage = !socket && message >= msgCreateSSLSocket && message <= msgConnectViaSSL;
  bool oauthOrCommand = !socket && message >= msgOAuthProviderError && message <= msgOAuthSettings;
  switch (c.Stage()) {
    case CheckStage::Transport:
      if (oauthOrCommand || (!socket && message == msgPasswordCommand)) return "authentication";
      return tlsMessage ? "tls" : "connect";
    case CheckStage::Greeting:
      return "greeting";
    case CheckStage::Ehlo:
      if (!socket && message == msgStartTlsNotOffered) return "tls";
      // A 250 to EHLO and a failure after it: nothing to authenticate with.
      return !c.m_ehloReplies.empty() && c.m_ehloReplies.back().compare(0, 3, "250") == 0 &&
                     !c.m_bHelo
                 ? "authentication"
                 : "greeting";
    case CheckStage::StartTls:
      return "tls";
    default:
      return "authentication";
  }
}

std::string Extensions(const CServerExtensions& offered, const std::string& ehlo) {
  std::string text;
  auto add = [&](bool on, const std::string& name) {
    if (on) text += (text.empty() ? "" : " ") + name;
  };
  add(offered.pipelining, "PIPELINING");
  add(offered.size, offered.sizeLimit ? "SIZE " + std::to_string(offered.sizeLimit) : "SIZE");
  for (const char* name : {"STARTTLS", "SMTPUTF8", "8BITMIME", "DSN"}) {
    add(OffersExtension(ehlo, name), name);
  }
  return text.empty() ? "none of those e-mailer uses" : text;
}

// The AUTH line of an EHLO reply, its mechanisms; "" when none.
std::string AuthLine(const std::string& ehlo) {
  for (std::size_t at = 0; at < ehlo.size();) {
    std::size_t end = ehlo.find("\r\n", at);
    std::string line = ehlo.substr(at, end == std::string::npos ? end : end - at);
    if (line.size() > 9 && line.compare(4, 5, "AUTH ") == 0) return line.substr(9);
    if (end == std::string::npos) break;
    at = end + 2;
  }
  return {};
}

// Steps 3 to 6 from what the connection met, up to end.
void AddConnectSteps(CheckReport& report, const CCheckConnection& c, const CheckSettings& s,
                     Clock::time_point end) {
  CheckStep connect("connect", TimeIn(c, CheckStage::Transport, end));
  connect.found = (c.m_sPeerAddress.empty() ? s.server : c.m_sPeerAddress) + " port " +
                  std::to_string(s.port) + (s.ssl ? ", TLS from the first byte" : "");
  report.steps.push_back(connect);
  if (!Reached(c, CheckStage::Greeting)) return;
  if (s.ssl || Visited(c, CheckStage::StartTls)) {
    CheckStep tls("tls", TimeIn(c, CheckStage::StartTls, end));
    if (c.m_tls) {
      tls.found = c.m_tls->protocol + " " + c.m_tls->cipher +
                  (s.ssl ? " (implicit, with the connect)" : " after STARTTLS");
      tls.details = TlsDetails(*c.m_tls);
    }
    report.steps.push_back(tls);
  }
  CheckStep greeting("greeting",
                     TimeIn(c, CheckStage::Greeting, end) + TimeIn(c, CheckStage::Ehlo, end));
  greeting.found = c.m_sGreeting.substr(0, c.m_sGreeting.find("\r\n"));
  if (c.m_bHelo) {
    greeting.details.push_back("greets with HELO (AuthMethod 0): no extensions are asked for");
  } else if (!c.m_ehloReplies.empty()) {
    const std::string& ehlo = c.m_ehloReplies.back();
    greeting.details.push_back("EHLO offers: " + Extensions(ReadServerExtensions(ehlo), ehlo));
    std::string auth = AuthLine(ehlo);
    greeting.details.push_back("AUTH: " + (auth.empty() ? std::string("not offered") : auth));
  }
  report.steps.push_back(greeting);
  // A failure before authentication adds its own step (Fail); none is shown as passed.
  if (!Reached(c, CheckStage::Authentication)) return;
  CheckStep auth("authentication", TimeIn(c, CheckStage::Authentication, end));
  auth.found = s.authMethod == 0 ? "none (AuthMethod 0)"
               : c.m_sAuthCommand.empty()
                   ? "AuthMethod " + std::to_string(s.authMethod)
                   : "AuthMethod " + std::to_string(s.authMethod) + " chose " + c.m_sAuthCommand;
  report.steps.push_back(auth);
}

// The step named name, added when the connection did not get that far.
CheckStep& StepNamed(CheckReport& report, const std::string& name) {
  for (CheckStep& step : report.steps) {
    if (step.name == name) return step;
  }
  report.steps.emplace_back(name);
  return report.steps.back();
}

// The server's certificate, seen on a connection of its own without the check.
std::optional<TlsFacts> ProbeCertificate(const CheckSettings& s) {
  CCheckConnection probe;
  probe.m_bStopAtTls = true;
  probe.m_sCheckHost = s.server;
  probe.m_bStartTLS = s.startTls && !s.ssl;
  probe.m_nTLSVerify = TLSVerifyOff;
  probe.m_dwTimeout = s.timeout;
  try {
    probe.Connect(s.server.c_str(), AuthNone, "", "", s.port, s.ssl);
    probe.Disconnect(true);
  } catch (const CException&) {
    // Whatever the probe met, the certificate is what it is there for.
  }
  return probe.m_tls;
}

// change with the sign-in it advises made the one of the account in use.
std::string ForAccountInUse(std::string change) {
  const std::string command = SignInCommand("");
  const std::size_t at = change.find(command);
  if (at != std::string::npos) change.replace(at, command.size(), SignInCommand(SmtpAccountName()));
  return change;
}

void Fail(CheckReport& report, const std::string& stepName, const Diagnosis& diagnosis) {
  CheckStep& step = StepNamed(report, stepName);
  step.ok = false;
  if (step.found.empty()) step.found = diagnosis.problem;
  report.problem = diagnosis.problem;
  report.change = ForAccountInUse(diagnosis.change);
  report.exitStatus = diagnosis.exitStatus;
}

CheckFailure FailureOf(const CCheckConnection& c, const CheckSettings& s, const CException& e) {
  CheckFailure f;
  f.server = s.server;
  f.port = s.port;
  f.ssl = s.ssl;
  f.startTls = s.startTls;
  f.authMethod = s.authMethod;
  f.timeoutSeconds = s.timeout / 1000;
  f.greeting = c.m_sGreeting;
  if (!c.m_ehloReplies.empty()) f.ehloReply = c.m_ehloReplies.back();
  f.sender = s.sender;
  f.recipient = s.recipient;
  f.text = e.what();
  if (const auto* smtp = dynamic_cast<const CTAVSMTPException*>(&e)) {
    auto hr = static_cast<std::uint32_t>(smtp->m_hrError);
    f.message = hr & 0xFFFF;
    f.socket = ((hr >> 16) & 0x1FFF) == FACILITY_WIN32;
    if (!smtp->m_sLastResponseText.empty()) f.text = smtp->m_sLastResponseText;
  }
  while (!f.text.empty() && (f.text.back() == '\n' || f.text.back() == '\r')) f.text.pop_back();
  return f;
}

// With AuthMethod 7: where the token came from, when it expires, whether it was renewed.
void AddTokenDetails(CheckReport& report, const CheckSettings& s,
                     const std::optional<OAuthTokens>& before) {
  if (s.authMethod != AuthOAuth) return;
  CSettingsReadOnce readOnce;
  for (CheckStep& step : report.steps) {
    if (step.name != "authentication") continue;
    std::vector<std::string> details = TokenDetails(before, StoredTokensNow(s.timeout));
    step.details.insert(step.details.end(), details.begin(), details.end());
  }
}

// Step 7 on the connection that stands: MAIL FROM and RCPT TO, then RSET and QUIT.
void EnvelopeStep(CheckReport& report, CCheckConnection& connection, const CheckSettings& s) {
  Clock::time_point start = Clock::now();
  CheckStep envelope("envelope");
  // The engine converts such an address (IDNA, SMTPUTF8) only for a message; sent raw
  // in a command the server did not agree to, it could name another mailbox.
  if (!IsAscii(s.sender) || !IsAscii(s.recipient)) {
    envelope.found = "not tried: SenderEMail or RecipientEMail is not ASCII";
    report.steps.push_back(envelope);
    return;
  }
  try {
    connection.TryEnvelope(s.sender, s.recipient);
    envelope.found = "MAIL FROM:<" + s.sender + "> and RCPT TO:<" + s.recipient +
                     "> accepted, then RSET: nothing was sent";
  } catch (const CException& e) {
    CheckFailure failure = FailureOf(connection, s, e);
    failure.step = "envelope";
    report.steps.push_back(envelope);
    Fail(report, "envelope", Diagnose(failure));
    report.steps.back().milliseconds = MillisecondsBetween(start, Clock::now());
    return;
  }
  envelope.milliseconds = MillisecondsBetween(start, Clock::now());
  report.steps.push_back(envelope);
  try {
    connection.Disconnect(true);
  } catch (const CException&) {
    // A QUIT that fails after an accepted envelope keeps no message from going.
  }
}

// Steps 3 to 7: the connect sequence as a run makes it, then the envelope.
void ConnectionSteps(CheckReport& report, const CheckSettings& s) {
  CCheckConnection connection;
  connection.m_sCheckHost = s.server;
  connection.m_bVerified = s.verified;
  connection.m_bPinned = s.pinned;
  std::optional<OAuthTokens> tokensBefore;
  try {
    CSettingsReadOnce readOnce;
    if (s.authMethod == AuthOAuth) tokensBefore = StoredTokensNow(s.timeout);
    ConnectWithSettings(connection, s.authMethod);
  } catch (const CException& e) {
    AddConnectSteps(report, connection, s, Clock::now());
    CheckFailure failure = FailureOf(connection, s, e);
    failure.step = FailedStep(connection, failure.message, failure.socket);
    if (failure.step == "tls" && failure.text.find("not trusted") != std::string::npos) {
      failure.certificate = ProbeCertificate(s);
    }
    Fail(report, failure.step, Diagnose(failure));
    AddTokenDetails(report, s, tokensBefore);
    return;
  }
  AddConnectSteps(report, connection, s, Clock::now());
  AddTokenDetails(report, s, tokensBefore);
  EnvelopeStep(report, connection, s);
}

CheckReport Check() {
  CheckReport report;
  CheckSettings settings;
  std::optional<Diagnosis> failure;
  Clock::time_point start = Clock::now();
  {
    CSettingsReadOnce readOnce;
    report.steps.push_back(SettingsStep(settings, failure));
  }
  report.steps.back().milliseconds = MillisecondsBetween(start, Clock::now());
  if (!failure) report.steps.push_back(NameStep(settings, failure));
  if (failure) {
    Fail(report, report.steps.back().name, *failure);
    return report;
  }
  ConnectionSteps(report, settings);
  // The queue is reported whatever the connection did: its entries wait for the same
  // server.
  CSettingsReadOnce readOnce;
  if (std::optional<CheckStep> queue = QueueStep()) report.steps.push_back(*queue);
  return report;
}

}  // namespace

int CheckRun(bool json) {
  // The account in use alone; without one chosen, the default and then every account.
  std::vector<std::string> accounts{SmtpAccountName()};
  if (accounts[0].empty()) {
    std::vector<std::string> names = SmtpAccountNames();
    accounts.insert(accounts.end(), names.begin(), names.end());
  }
  std::vector<AccountReport> reports;
  for (const std::string& account : accounts) {
    UseSmtpAccount(account);
    reports.push_back({account, Check()});
  }
  std::string text = json ? CheckReportJson(reports) : CheckReportText(reports);
  const int status = CombinedExitStatus(reports);
  // A report that could not be written tells a monitor nothing: not a success.
  if (!WriteReport(text) && status == 0) return ExitOutputFailed;
  return status;
}
