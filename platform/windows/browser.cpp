// The Windows side of OpenInBrowser: ShellExecute's "open", which starts the user's
// default browser for an http or https address.
#include "platform/browser.h"

#include <windows.h>
#include <shellapi.h>

bool OpenInBrowser(const std::string& url) {
  HINSTANCE started = ShellExecuteA(nullptr, "open", url.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
  // A value above 32 means success.
  return reinterpret_cast<INT_PTR>(started) > 32;
}
