// The Linux side of OpenInBrowser: xdg-open, found on the PATH.
#include "platform/browser.h"

#include <fcntl.h>
#include <spawn.h>
#include <unistd.h>

extern char** environ;

bool OpenInBrowser(const std::string& url) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  // The address is one argument of its own: no shell reads it.
  char* argv[] = {const_cast<char*>("xdg-open"), const_cast<char*>(url.c_str()), nullptr};
  pid_t pid;
  int failed = posix_spawnp(&pid, "xdg-open", &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  // The opener is not waited for; it ends on its own and the system reaps it at the
  // latest when the program ends.
  return failed == 0;
}
