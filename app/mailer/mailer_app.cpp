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
  MailerRunParameters run = TakeRunParameters(cmdInfo.m_params);
  if (run.subject.empty()) {
    m_nExitCode = ExitNoSubject;
    return false;
  }
  m_nExitCode = SendRun(run.subject, run.body, run.showUi);
  return false;
}

int CMailerApp::ExitInstance() {
  ERR_free_strings();
  ERR_remove_state(0);
  EVP_cleanup();
  CRYPTO_cleanup_all_ex_data();
  if (g_pSslLocks != nullptr) ReleaseSslLocks();
  return CWinApp::ExitInstance();
}
