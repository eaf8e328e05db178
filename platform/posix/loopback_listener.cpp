// The Linux side of the loopback listener: a TCP socket on 127.0.0.1 and poll.
#include "platform/loopback_listener.h"
#include "platform/request_line.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace {

constexpr std::chrono::seconds requestWait{10};

// Waits until fd is readable or the deadline passes; false with errno set.
bool WaitReadable(int fd, std::chrono::steady_clock::time_point deadline) {
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      errno = ETIMEDOUT;
      return false;
    }
    pollfd entry{fd, POLLIN, 0};
    int ready = poll(&entry, 1, static_cast<int>(std::min<long long>(left.count(), 1 << 30)));
    if (ready > 0) return true;
    if (ready < 0 && errno != EINTR) return false;
  }
}

// One receive on connection within the deadline; 0 or less when none can be made.
long ReceiveBefore(int connection, std::chrono::steady_clock::time_point deadline, char* buffer,
                   std::size_t capacity) {
  for (;;) {
    if (!WaitReadable(connection, deadline)) return -1;
    ssize_t n = recv(connection, buffer, capacity, 0);
    if (n >= 0 || errno != EINTR) return n;
  }
}

void WriteAll(int connection, const std::string& reply) {
  for (std::size_t done = 0; done < reply.size();) {
    ssize_t n = send(connection, reply.data() + done, reply.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
}

}  // namespace

CLoopbackListener::CLoopbackListener() {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  listener = fd;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(fd, 4) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    error = std::string("cannot listen on 127.0.0.1: ") + std::strerror(errno);
    return;
  }
  port = ntohs(address.sin_port);
}

CLoopbackListener::~CLoopbackListener() {
  if (listener >= 0) close(static_cast<int>(listener));
}

std::string CLoopbackListener::ServeUntilTaken(
    std::uint32_t timeout, const std::function<Answer(const std::string&)>& answer) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout);
  const int fd = static_cast<int>(listener);
  while (WaitReadable(fd, deadline)) {
    int connection = accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (connection < 0) continue;  // the peer gave up before it was accepted
    const auto requestDeadline = std::min(deadline, std::chrono::steady_clock::now() + requestWait);
    std::string line = ReadRequestLine([&](char* buffer, std::size_t capacity) {
      return ReceiveBefore(connection, requestDeadline, buffer, capacity);
    });
    Answer answered = line.empty() ? Answer{} : answer(line);
    WriteAll(connection, answered.reply);
    close(connection);
    if (answered.taken) return line;
  }
  error = std::string("no redirect from the browser: ") + std::strerror(errno);
  return {};
}
