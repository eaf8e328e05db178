// The mail log in the Application event log: an information event of the source
// "e-mailer" whose one text is the line. Without a registered message file the event
// viewer shows the line after its note that the description is missing.
#include "platform/system_log.h"

#include <windows.h>

#include <string>

void WriteSystemMailLog(std::string_view line) {
  HANDLE source = RegisterEventSourceA(nullptr, "e-mailer");
  if (source == nullptr) return;
  const std::string text(line);
  const char* strings[] = {text.c_str()};
  ReportEventA(source, EVENTLOG_INFORMATION_TYPE, 0, 0, nullptr, 1, 0, strings, nullptr);
  DeregisterEventSource(source);
}
