#include "app/mailer/mailer_app.h"

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>

#include "app/mailer/account_choice.h"
#include "app/mailer/check_run.h"
#include "app/mailer/command_line.h"
#include "app/mailer/send_run.h"
#include "app/run/exit_codes.h"
#include "app/run/oauth_token.h"
#include "app/run/ssl_locks.h"
#include "platform/message_box.h"
#include "platform/terminal_text.h"

bool CMailerApp::InitInstance() {
  // Before any setting is read, and after the locale, which the settings' texts follow.
  if (!UseChosenAccount(m_sAccount)) {
    m_nExitCode = ExitUsage;
    return false;
  }
  if (!AfxSocketInit()) return false;

  // The TLS library is started by the send run, and only when it uses TLS.
  if (!CreateSslLocks()) {
    ShowMessageBox("Failed to create SSL critical sections required for OpenSSL");
    m_nExitCode = ExitStartupFailed;
    return false;
  }
  CRYPTO_set_locking_callback(SslLockingCallback);

  CMailerCommandLineInfo cmdInfo;
  ParseCommandLine(cmdInfo);
  bool browser = false;
  if (AuthorizeRequested(cmdInfo.m_params, &browser)) {
    m_nExitCode = AuthorizeRun(browser);
    return false;
  }
  bool json = false;
  if (CheckRequested(cmdInfo.m_params, &json)) {
    m_nExitCode = CheckRun(json);
    return false;
  }
  m_nExitCode = ScriptSendRun(TakeRunParameters(cmdInfo.m_params));
  return false;
}

int CMailerApp::ScriptSendRun(const MailerRunParameters& run) const {
  const char* twice = m_options.subject && !run.subject.empty()                       ? "subject"
                      : (m_options.body || m_options.bodyFile) && run.bodyGiven ? "body"
                                                                                    : nullptr;
  if (twice != nullptr) {
    WriteErrorLine(std::string("the ") + twice + " is given both as a parameter and as an option");
    return ExitUsage;
  }
  if (m_options.subject.value_or(run.subject).empty()) {
    if (m_options.given) WriteErrorLine("no subject: give --subject TEXT");
    return ExitNoSubject;
  }
  CScriptFiles files;
  if (std::optional<int> failed = files.Prepare(m_options)) return *failed;
  return SendRun({run, m_options, files, m_sAccount});
}

int CMailerApp::ExitInstance() {
  ERR_free_strings();
  ERR_remove_state(0);
  EVP_cleanup();
  CRYPTO_cleanup_all_ex_data();
  if (g_pSslLocks != nullptr) ReleaseSslLocks();
  return CWinApp::ExitInstance();
}
