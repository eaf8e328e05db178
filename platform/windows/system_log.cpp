// The mail log in the Application event log: an information event of the source
// "e-mailer" whose one text is the line. Without a registered message file the event
// viewer shows the line after its note that the description is missing.
#include "platform/system_log.h"

#include <windows.h>

#include <string>

#include "platform/system_messages.h"

void WriteSystemMailLog(std::string_view line) {
  HANDLE source = RegisterEventSourceA(nullptr, "e-mailer");
  if (source == nullptr) return;
  const std::string text(line);
  const char* strings[] = {text.c_str()};
  ReportEventA(source, EVENTLOG_INFORMATION_TYPE, 0, 0, nullptr, 1, 0, strings, nullptr);
  DeregisterEventSource(source);
}

std::string AppendToLogFile(const std::string& path, std::string_view text, bool (*)(long)) {
  HANDLE file = CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) return SystemMessageText(GetLastError());
  DWORD written = 0;
  const bool ok = WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
                  written == text.size();
  const DWORD error = ok ? 0 : GetLastError();
  CloseHandle(file);
  return ok ? std::string() : SystemMessageText(error);
}

long EffectiveUserId() { return -1; }
