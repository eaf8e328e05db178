// The mail log through syslog(3): the C library sends each line as one datagram to
// /dev/log, facility mail, with the program's name and process id.
#include "platform/system_log.h"

#include <syslog.h>

#include <cerrno>
#include <string>

void WriteSystemMailLog(std::string_view line) {
  static const bool opened = (openlog(program_invocation_short_name, LOG_PID, LOG_MAIL), true);
  (void)opened;
  syslog(LOG_MAIL | LOG_INFO, "%s", std::string(line).c_str());
}
