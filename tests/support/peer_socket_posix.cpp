// The scripted peer's system calls on Linux: POSIX sockets, poll, and an eventfd as the
// wake-up. Every descriptor is closed on exec, so servers that tests start never hold one.
#include "tests/support/peer_socket_system.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <vector>

#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace peer_socket {

Handle Listen(bool v6, std::uint16_t& port) {
  int listener = socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_storage address{};
  AddressLength length = LoopbackAddress(v6, address);
  if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      listen(listener, 4) != 0 ||
      getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    std::string text = LastErrorText();
    if (listener >= 0) close(listener);
    throw std::runtime_error("scripted peer cannot listen: " + text);
  }
  port = ntohs(v6 ? reinterpret_cast<sockaddr_in6*>(&address)->sin6_port
                  : reinterpret_cast<sockaddr_in*>(&address)->sin_port);
  return listener;
}

bool CanBindIPv6Loopback() {
  int s = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_storage address{};
  AddressLength length = LoopbackAddress(true, address);
  bool bound = s >= 0 && bind(s, reinterpret_cast<sockaddr*>(&address), length) == 0;
  if (s >= 0) close(s);
  return bound;
}

Handle Accept(Handle listener) {
  int connection = accept4(Native(listener), nullptr, nullptr, SOCK_CLOEXEC);
  int on = 1;
  if (connection >= 0) setsockopt(connection, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  return connection;
}

long Receive(Handle socket, char* buffer, std::size_t size, bool peek) {
  return recv(Native(socket), buffer, size, peek ? MSG_PEEK : 0);
}

long Send(Handle socket, const char* bytes, std::size_t size) {
  return send(Native(socket), bytes, size, MSG_NOSIGNAL);
}

std::string LastErrorText() { return std::strerror(errno); }

void Close(Handle socket) { close(Native(socket)); }

void Reset(Handle socket) {
  linger abort{1, 0};  // a zero linger time makes close() send a reset
  setsockopt(Native(socket), SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
  close(Native(socket));
}

unsigned WaitReadable(std::initializer_list<Handle> handles, std::chrono::milliseconds bound) {
  std::vector<pollfd> fds;
  for (Handle h : handles) fds.push_back({Native(h), POLLIN, 0});
  int ready;
  do {
    ready = poll(fds.data(), fds.size(), bound.count() < 0 ? -1 : static_cast<int>(bound.count()));
  } while (ready < 0 && errno == EINTR);
  unsigned mask = 0;
  for (std::size_t i = 0; ready > 0 && i < fds.size(); ++i) {
    if (fds[i].revents != 0) mask |= 1u << i;
  }
  return mask;
}

Wakeup::Wakeup() : handle(eventfd(0, EFD_CLOEXEC)) {}

Wakeup::~Wakeup() {
  if (handle >= 0) close(Native(handle));
}

void Wakeup::Raise() { eventfd_write(Native(handle), 1); }

void StartSockets() {}

std::size_t OpenDescriptorCount() {
  std::size_t count = 0;
  for ([[maybe_unused]] auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) ++count;
  return count;
}

void KeepSignalsAway() {
  sigset_t all;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, nullptr);
}

}  // namespace peer_socket
