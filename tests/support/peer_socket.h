// The system calls under the scripted peer: a TCP listener on a loopback address, the
// connection it accepts, waits for readable sockets, and a wake-up that a wait can
// watch beside a socket; and the looks at a socket and at the process that socket tests
// take. POSIX sockets on Linux (peer_socket_posix.cpp), Windows Sockets on Windows
// (peer_socket_windows.cpp).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>

namespace peer_socket {

// A socket (or, on Linux, any descriptor a wait can watch); none when there is none.
using Handle = std::intptr_t;
inline constexpr Handle none = -1;

// Listens on 127.0.0.1 (or ::1 with v6) at a port the system picks, given in port.
// Throws std::runtime_error with the system's text when it cannot.
Handle Listen(bool v6, std::uint16_t& port);
// True when a socket can be bound to ::1.
bool CanBindIPv6Loopback();
// Accepts the next connection, with Nagle's delay off so that each send leaves at once;
// none when it fails.
Handle Accept(Handle listener);

// recv() and send(): the count of bytes, 0 for a closed connection, negative on failure.
// With peek, the bytes received stay to be received again.
long Receive(Handle socket, char* buffer, std::size_t size, bool peek = false);
long Send(Handle socket, const char* bytes, std::size_t size);
// The system's text for the last failure of a call here.
std::string LastErrorText();

void Close(Handle socket);
// Closes abortively: the other side gets a reset, not an orderly close.
void Reset(Handle socket);

// Waits until one of handles is readable (data, a close or a reset), at most bound (a
// negative bound waits for ever). Returns a mask with bit i set when handles[i] is
// readable; 0 when the wait ran out.
unsigned WaitReadable(std::initializer_list<Handle> handles, std::chrono::milliseconds bound);

// A signal that a wait can watch beside a socket: once raised it stays raised.
class Wakeup {
 public:
  Wakeup();
  Wakeup(const Wakeup&) = delete;
  Wakeup& operator=(const Wakeup&) = delete;
  ~Wakeup();
  void Raise();
  Handle Watched() const { return handle; }

 private:
  Handle handle = none;
};

// What getsockname gives for a socket: its port, and its IPv4 address as dotted text.
std::uint16_t LocalPort(Handle socket);
std::string LocalIPv4Address(Handle socket);
// True when the socket sends without Nagle's delay (TCP_NODELAY).
bool NoDelayIsSet(Handle socket);
// listen() with that backlog; false when it fails.
bool StartListening(Handle socket, int backlog);
// The machine's name as gethostname gives it; empty when it cannot.
std::string HostName();
// How many descriptors (handles on Windows) the process holds open.
std::size_t OpenDescriptorCount();

// Keeps signals that a test sends to itself (timers that interrupt its sends) away from
// the calling thread, so that they reach the test's own thread.
void KeepSignalsAway();

}  // namespace peer_socket
