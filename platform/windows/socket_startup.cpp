// The socket start-up on Windows: Windows Sockets 2.2, released when the process ends.
#include <winsock2.h>

#include <cstdlib>

#include "platform/win_app.h"

bool AfxSocketInit() {
  WSADATA data;
  if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return false;
  std::atexit([] { WSACleanup(); });
  return true;
}
