// The Linux side of OpenInBrowser: xdg-open, found on the PATH, given a page of the
// user's own that sends the browser on to the address, so that the address (an
// authorize URL with its state) never stands on a command line, which every local user
// can read in /proc.
#include "platform/browser.h"

#include <fcntl.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

extern char** environ;

namespace {

// The address with what would end an HTML attribute written as an entity.
std::string AttributeText(const std::string& url) {
  std::string text;
  for (char c : url) {
    switch (c) {
      case '&': text += "&amp;"; break;
      case '"': text += "&quot;"; break;
      case '<': text += "&lt;"; break;
      case '>': text += "&gt;"; break;
      default: text += c;
    }
  }
  return text;
}

// A page readable by the user alone (mode 0600) in XDG_RUNTIME_DIR (else /tmp) that
// redirects to url; its path, or empty when it cannot be written.
std::string RedirectPage(const std::string& url) {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  std::string path = std::string(runtime != nullptr && runtime[0] == '/' ? runtime : "/tmp") +
                     "/e-mailer-sign-in-XXXXXX.html";
  const int fd = mkstemps(path.data(), 5);
  if (fd < 0) return {};
  const std::string page = "<!DOCTYPE html>\n<meta http-equiv=\"refresh\" content=\"0;url=" + AttributeText(url) +
                           "\">\n<title>e-mailer sign-in</title>\n<a href=\"" + AttributeText(url) +
                           "\">Sign in</a>\n";
  const bool written = write(fd, page.data(), page.size()) == static_cast<ssize_t>(page.size());
  close(fd);
  if (!written) {
    unlink(path.c_str());
    return {};
  }
  return path;
}

}  // namespace

bool OpenInBrowser(const std::string& url) {
  const std::string page = RedirectPage(url);
  if (page.empty()) return false;  // the user opens the address shown
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  // The page is one argument of its own: no shell reads it.
  char* argv[] = {const_cast<char*>("xdg-open"), const_cast<char*>(page.c_str()), nullptr};
  pid_t pid;
  int failed = posix_spawnp(&pid, "xdg-open", &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  // The opener is not waited for; it ends on its own and the system reaps it at the
  // latest when the program ends. The page stays in the user's runtime folder, which
  // ends with the session.
  return failed == 0;
}
