// The system's socket headers and names under the scripted peer's calls, so that the
// calls that read the same on both systems are written once (peer_socket_shared.cpp).
#pragma once

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include "tests/support/peer_socket.h"

namespace peer_socket {

#ifdef _WIN32
using NativeSocket = SOCKET;
using AddressLength = int;
#else
using NativeSocket = int;
using AddressLength = socklen_t;
#endif

inline NativeSocket Native(Handle handle) { return static_cast<NativeSocket>(handle); }

// Starts the system's sockets once, before the first socket (Windows Sockets; nothing
// to do on Linux).
void StartSockets();

// 127.0.0.1 or ::1 with port 0 in address; its length.
AddressLength LoopbackAddress(bool v6, sockaddr_storage& address);

}  // namespace peer_socket
