#include "tests/support/postfix_server.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <thread>

#include <signal.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// The owner of the Maildirs (nobody/nogroup): the virtual delivery agent refuses to
// deliver as root.
constexpr int mailboxOwner = 65534;
constexpr int startAttempts = 5;
constexpr auto deliveryBound = 30s;
constexpr auto stopBound = 10s;

// Only what this instance needs, each service outside a chroot: the submission
// listener, the queue's own daemons, delivery to Maildirs and the log.
constexpr char services[] =
    "cleanup   unix  n - n - 0 cleanup\n"
    "qmgr      unix  n - n 300 1 qmgr\n"
    "tlsmgr    unix  - - n 1000? 1 tlsmgr\n"
    "rewrite   unix  - - n - - trivial-rewrite\n"
    "bounce    unix  - - n - 0 bounce\n"
    "defer     unix  - - n - 0 bounce\n"
    "trace     unix  - - n - 0 bounce\n"
    "verify    unix  - - n - 1 verify\n"
    "flush     unix  n - n 1000? 0 flush\n"
    "proxymap  unix  - - n - - proxymap\n"
    "error     unix  - - n - - error\n"
    "retry     unix  - - n - - error\n"
    "discard   unix  - - n - - discard\n"
    "virtual   unix  - n n - - virtual\n"
    "anvil     unix  - - n - 1 anvil\n"
    "scache    unix  - - n - 1 scache\n"
    "postlog   unix-dgram n - n - 1 postlogd\n";

void Write(const fs::path& file, const std::string& text) { std::ofstream(file) << text; }

// The domains of the mailboxes: "mail.test" and the options' others.
std::vector<std::string> Domains(const PostfixOptions& options) {
  std::vector<std::string> domains{PostfixServer::domain};
  domains.insert(domains.end(), options.moreDomains.begin(), options.moreDomains.end());
  return domains;
}

std::string DomainList(const PostfixOptions& options) {
  std::string list;
  for (const std::string& domain : Domains(options)) list += (list.empty() ? "" : ", ") + domain;
  return list;
}

}  // namespace

std::string PostfixServer::Unavailable() {
  if (geteuid() != 0) return "Postfix's master must be started by the super-user";
  if (!fs::exists("/usr/sbin/postfix") || !fs::exists("/usr/sbin/saslpasswd2")) {
    return "postfix or sasl2-bin is not installed";
  }
  return {};
}

PostfixServer::PostfixServer(const PostfixOptions& options) {
  // The daemons run as the postfix user and the delivery agent as nobody: they must
  // reach their files.
  fs::permissions(dir.Path(), fs::perms::owner_all | fs::perms::group_read |
                                  fs::perms::group_exec | fs::perms::others_read |
                                  fs::perms::others_exec);
  WriteConfiguration(options);
  std::string output;
  for (int attempt = 0; attempt < startAttempts; ++attempt) {
    // A port taken between FreePort and the master's bind fails the start: another.
    port = FreePort();
    WriteServices(options.ipv6);
    if (Start(output)) return;
  }
  throw std::runtime_error("postfix did not start:\n" + output + Log());
}

void PostfixServer::WriteConfiguration(const PostfixOptions& options) const {
  const std::string at = dir.Path().string();
  for (const char* sub : {"conf", "conf/sasl", "queue", "mail"}) {
    fs::create_directory(dir.Path() / sub);
  }
  if (chown((dir.Path() / "mail").c_str(), mailboxOwner, mailboxOwner) != 0) {
    throw std::runtime_error("cannot hand the mailboxes to their owner");
  }
  fs::copy_file(options.certificate.certificate, dir.Path() / "cert.pem");
  fs::copy_file(options.certificate.key, dir.Path() / "key.pem");
  Write(dir.Path() / "conf/main.cf",
        "compatibility_level = 3.7\n"
        "queue_directory = " + at + "/queue\n"
        "data_directory = " + at + "/data\n"
        "meta_directory = /etc/postfix\n"
        "command_directory = /usr/sbin\n"
        "daemon_directory = /usr/lib/postfix/sbin\n"
        "shlib_directory = /usr/lib/postfix\n"
        "mail_owner = postfix\n"
        "setgid_group = postdrop\n"
        "myhostname = mail.test\nmydomain = mail.test\nmyorigin = mail.test\n"
        "mydestination =\nrelay_domains =\nlocal_recipient_maps =\n"
        "alias_maps =\nalias_database =\nnotify_classes =\nbiff = no\n"
        "inet_interfaces = loopback-only\n"
        "inet_protocols = " + std::string(options.ipv6 ? "all" : "ipv4") + "\n"
        "mynetworks = 127.0.0.0/8 [::1]/128\n"
        // Nothing leaves the instance, and no name is looked up in DNS.
        "default_transport = error:this test server delivers nowhere else\n"
        "relay_transport = error:this test server delivers nowhere else\n"
        "smtp_dns_support_level = disabled\nsmtpd_peername_lookup = no\n"
        "maillog_file = " + at + "/maillog\nmaillog_file_prefixes = " + at + "\n"
        "virtual_mailbox_domains = " + DomainList(options) + "\n"
        "virtual_mailbox_base = " + at + "/mail\n"
        "virtual_mailbox_maps = texthash:" + at + "/conf/mailboxes\n"
        "virtual_uid_maps = static:65534\nvirtual_gid_maps = static:65534\n"
        "smtpd_tls_security_level = encrypt\n"
        "smtpd_tls_cert_file = " + at + "/cert.pem\n"
        "smtpd_tls_key_file = " + at + "/key.pem\n"
        "smtpd_tls_session_cache_database =\n"
        "smtpd_sasl_auth_enable = yes\nsmtpd_sasl_type = cyrus\nsmtpd_sasl_path = smtpd\n"
        "smtpd_sasl_local_domain = mail.test\n"
        "smtpd_relay_restrictions = permit_sasl_authenticated, reject\n"
        "smtpd_recipient_restrictions = permit_sasl_authenticated, reject\n" +
        (options.messageSizeLimit > 0 ? "message_size_limit = " + std::to_string(options.messageSizeLimit) + "\n" : "") +
        "smtputf8_enable = " + (options.smtpUtf8 ? "yes" : "no") + "\n");
  std::string mailboxes;
  for (const std::string& box : options.mailboxes) {
    for (const std::string& mailDomain : Domains(options)) {
      mailboxes += box + "@" + mailDomain + " " + box + "/\n";
    }
  }
  Write(dir.Path() / "conf/mailboxes", mailboxes);
  // Debian's smtpd reads its SASL configuration from $config_directory/sasl.
  const std::string database = at + "/conf/sasl/sasldb2";
  Write(dir.Path() / "conf/sasl/smtpd.conf",
        "pwcheck_method: auxprop\nauxprop_plugin: sasldb\n"
        "mech_list: PLAIN LOGIN CRAM-MD5\nsasldb_path: " + database + "\n");
  Write(dir.Path() / "password", options.password + "\n");
  std::string log;
  if (RunCommand({"/bin/sh", "-c", "saslpasswd2 -p -c -f \"$0\" -u mail.test \"$1\" < \"$2\"",
                  database, options.user, at + "/password"},
                 &log) != 0) {
    throw std::runtime_error("saslpasswd2 failed:\n" + log);
  }
  fs::permissions(database, fs::perms::owner_read | fs::perms::owner_write |
                                fs::perms::group_read | fs::perms::others_read);
}

void PostfixServer::WriteServices(bool ipv6) const {
  const std::string listener = " inet n - n - - smtpd\n";
  std::string text = "127.0.0.1:" + std::to_string(port) + listener;
  if (ipv6) text += "[::1]:" + std::to_string(port) + listener;
  Write(dir.Path() / "conf/master.cf", text + services);
}

bool PostfixServer::Start(std::string& output) {
  // "start" returns once the master has bound its listeners, or failed to.
  running = Postfix("start", &output) == 0;
  return running;
}

int PostfixServer::Postfix(const std::string& command, std::string* output) const {
  return RunCommand({"/usr/sbin/postfix", "-c", (dir.Path() / "conf").string(), command}, output);
}

PostfixServer::~PostfixServer() {
  if (!running) return;
  const std::string pidText = ReadFile(dir.Path() / "queue/pid/master.pid");
  pid_t master = static_cast<pid_t>(std::atol(pidText.c_str()));
  Postfix("stop");
  // "stop" waits a few seconds for the master; one that is still there is killed.
  auto deadline = std::chrono::steady_clock::now() + stopBound;
  while (master > 0 && kill(master, 0) == 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(50ms);
  }
  if (master > 0 && kill(master, 0) == 0) kill(master, SIGKILL);
}

std::vector<std::filesystem::path> PostfixServer::Delivered(const std::string& mailbox,
                                                           std::size_t count) const {
  const fs::path delivered = dir.Path() / "mail" / mailbox / "new";
  auto deadline = std::chrono::steady_clock::now() + deliveryBound;
  std::vector<fs::path> files;
  for (;;) {
    files.clear();
    std::error_code missing;
    for (const auto& entry : fs::directory_iterator(delivered, missing)) {
      files.push_back(entry.path());
    }
    if (files.size() >= count || std::chrono::steady_clock::now() >= deadline) break;
    std::this_thread::sleep_for(50ms);
  }
  std::sort(files.begin(), files.end());
  return files;
}

std::string PostfixServer::Log() const { return ReadFile(dir.Path() / "maillog"); }
