// The Windows side of the loopback listener: a Windows Sockets listener on 127.0.0.1,
// waited on with select. Windows Sockets are started by AfxSocketInit.
#include "platform/loopback_listener.h"
#include "platform/request_line.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <chrono>

namespace {

constexpr std::chrono::seconds requestWait{10};

std::string SocketFailure(const char* what) {
  return std::string(what) + ": Winsock error " + std::to_string(WSAGetLastError());
}

// Waits until s is readable or the deadline passes.
bool WaitReadable(SOCKET s, std::chrono::steady_clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  if (left.count() <= 0) return false;
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(s, &readable);
  long milliseconds = static_cast<long>(std::min<long long>(left.count(), 1 << 30));
  timeval limit{milliseconds / 1000, milliseconds % 1000 * 1000};
  return select(0, &readable, nullptr, nullptr, &limit) > 0;
}

// One receive on connection within the deadline; 0 or less when none can be made.
long ReceiveBefore(SOCKET connection, std::chrono::steady_clock::time_point deadline, char* buffer,
                   std::size_t capacity) {
  if (!WaitReadable(connection, deadline)) return -1;
  return recv(connection, buffer, static_cast<int>(capacity), 0);
}

void WriteAll(SOCKET connection, const std::string& reply) {
  for (std::size_t done = 0; done < reply.size();) {
    int n = send(connection, reply.data() + done, static_cast<int>(reply.size() - done), 0);
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
}

}  // namespace

CLoopbackListener::CLoopbackListener() {
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  listener = s == INVALID_SOCKET ? -1 : static_cast<std::intptr_t>(s);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int length = sizeof address;
  if (s == INVALID_SOCKET || bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(s, 4) != 0 || getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    error = SocketFailure("cannot listen on 127.0.0.1");
    return;
  }
  port = ntohs(address.sin_port);
}

CLoopbackListener::~CLoopbackListener() {
  if (listener != -1) closesocket(static_cast<SOCKET>(listener));
}

std::string CLoopbackListener::ServeUntilTaken(
    std::uint32_t timeout, const std::function<Answer(const std::string&)>& answer) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout);
  const SOCKET s = static_cast<SOCKET>(listener);
  while (WaitReadable(s, deadline)) {
    SOCKET connection = accept(s, nullptr, nullptr);
    if (connection == INVALID_SOCKET) continue;  // the peer gave up before it was accepted
    const auto requestDeadline = std::min(deadline, std::chrono::steady_clock::now() + requestWait);
    std::string line = ReadRequestLine([&](char* buffer, std::size_t capacity) {
      return ReceiveBefore(connection, requestDeadline, buffer, capacity);
    });
    Answer answered = line.empty() ? Answer{} : answer(line);
    WriteAll(connection, answered.reply);
    closesocket(connection);
    if (answered.taken) return line;
  }
  error = "no redirect from the browser: the time ran out";
  return {};
}
