// Feeds fuzz input to the reply readers of CWSocket, or of a connection over one,
// through a socket pair. The readers run exactly as they do against a peer: the socket
// connects to a listener of the process's own on 127.0.0.1 (a socket that never
// connected is never readable), then its descriptor is replaced (dup2) by one end of a
// UNIX socket pair, and the input, written into the other end before the reader starts
// and followed by the end of data, is all the peer sends. A reader that wants more than
// the input meets the end of data, never a wait.
#pragma once

#include <string>
#include <string_view>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "fuzz/fuzz_check.h"
#include "net/socket.h"

class SocketFeed {
 public:
  // The whole input must fit the pair's buffer, as it is written before anyone reads.
  static constexpr std::size_t maxInput = 70000;
  // Bounds each readable-wait; all data is there at once, so it is never reached.
  static constexpr std::uint32_t timeout = 10000;

  // Feeds a socket of its own.
  explicit SocketFeed(std::string_view bytes) : SocketFeed(bytes, ownSocket) {}

  // Feeds target, which is (re)created for it.
  SocketFeed(std::string_view bytes, CWSocket& target) : socket(target) {
    int ends[2];
    FUZZ_CHECK(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) == 0);
    SOCKET handle = socket.Create();
    const sockaddr_in& listener = Listener();
    socket.Connect(reinterpret_cast<const sockaddr*>(&listener), sizeof listener);
    int accepted = accept4(ListenerHandle(), nullptr, nullptr, SOCK_CLOEXEC);
    FUZZ_CHECK(accepted >= 0);
    close(accepted);
    FUZZ_CHECK(dup2(ends[0], handle) == handle);
    close(ends[0]);
    for (std::size_t sent = 0; sent < bytes.size();) {
      ssize_t n = send(ends[1], bytes.data() + sent, bytes.size() - sent, MSG_DONTWAIT);
      FUZZ_CHECK(n > 0);
      sent += static_cast<std::size_t>(n);
    }
    close(ends[1]);
  }

  // Every byte the reader left, read through the socket up to the end of data.
  std::string Rest() {
    std::string rest;
    char buffer[4096];
    for (;;) {
      FUZZ_CHECK(socket.IsReadable(timeout));
      int n = socket.Receive(buffer, static_cast<int>(sizeof buffer), 0);
      if (n == 0) return rest;
      rest.append(buffer, static_cast<std::size_t>(n));
    }
  }

 private:
  // The listening socket on a free port of 127.0.0.1, made once for the process.
  static int ListenerHandle() {
    static const int handle = [] {
      int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      sockaddr_in any{};
      any.sin_family = AF_INET;
      any.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      FUZZ_CHECK(s >= 0 && bind(s, reinterpret_cast<sockaddr*>(&any), sizeof any) == 0 && listen(s, 8) == 0);
      return s;
    }();
    return handle;
  }

  static const sockaddr_in& Listener() {
    static const sockaddr_in address = [] {
      sockaddr_in bound{};
      socklen_t length = sizeof bound;
      FUZZ_CHECK(getsockname(ListenerHandle(), reinterpret_cast<sockaddr*>(&bound), &length) == 0);
      return bound;
    }();
    return address;
  }

  CWSocket ownSocket;  // declared first: socket may refer to it

 public:
  CWSocket& socket;
};
