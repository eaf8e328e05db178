// The host name on Windows: the DNS host name of the computer, which needs no socket
// start-up (gethostname would).
#include "platform/host_name.h"

#include <windows.h>

bool LocalHostName(char* buffer, std::size_t size) {
  DWORD length = static_cast<DWORD>(size);
  return GetComputerNameExA(ComputerNameDnsHostname, buffer, &length) != 0;
}
