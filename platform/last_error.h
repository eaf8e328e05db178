// The thread's last error number. As on Windows, the Winsock last error and the
// system's last error are one value per thread: the socket layer stores mapped errno
// and resolver failures here, the digests store why a hash failed.
#pragma once

#include <cstdint>

int WSAGetLastError();
void WSASetLastError(int error);

std::uint32_t GetLastError();
void SetLastError(std::uint32_t error);
