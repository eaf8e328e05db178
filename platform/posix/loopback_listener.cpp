// The Linux side of the loopback listener: a TCP socket on 127.0.0.1 and poll.
#include "platform/loopback_listener.h"
#include "platform/request_line.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

namespace {

// How long a connection may take for its request line, and for its first byte (a
// browser opens connections ahead that it may never use).
constexpr std::chrono::seconds requestWait{10};
constexpr std::chrono::seconds firstByteWait{2};
// The request line is within 8 KiB (request_line.h); the connections read at once.
constexpr std::size_t requestCap = 8192;
constexpr std::size_t maxPending = 32;

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
      listen(fd, static_cast<int>(maxPending)) != 0 ||
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
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout);
  const int fd = static_cast<int>(listener);
  // The connections being read, side by side: an idle one holds up no other, and one
  // that sends nothing within firstByteWait is closed.
  struct Pending {
    int connection;
    Clock::time_point accepted;
    bool started = false;
    std::string bytes;
  };
  std::vector<Pending> pending;
  auto closeAll = [&] {
    for (const Pending& p : pending) close(p.connection);
    pending.clear();
  };
  for (;;) {
    const auto now = Clock::now();
    if (now >= deadline) break;
    // Those past their wait go.
    std::erase_if(pending, [&](const Pending& p) {
      const bool late = now >= p.accepted + (p.started ? requestWait : firstByteWait);
      if (late) close(p.connection);
      return late;
    });
    auto wake = deadline;
    for (const Pending& p : pending) wake = std::min(wake, p.accepted + (p.started ? requestWait : firstByteWait));
    std::vector<pollfd> entries{{fd, POLLIN, 0}};
    for (const Pending& p : pending) entries.push_back({p.connection, POLLIN, 0});
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(wake - now).count() + 1;
    const int ready = poll(entries.data(), entries.size(), static_cast<int>(std::min<long long>(left, 1 << 30)));
    if (ready < 0 && errno != EINTR) break;
    if (ready <= 0) continue;
    for (std::size_t i = pending.size(); i-- > 0;) {
      if (entries[i + 1].revents == 0) continue;
      Pending& p = pending[i];
      char buffer[1024];
      const ssize_t n = recv(p.connection, buffer, sizeof buffer, MSG_DONTWAIT);
      if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      if (n > 0) {
        p.bytes.append(buffer, static_cast<std::size_t>(n));
        p.started = true;
      }
      if (n > 0 && p.bytes.find('\n') == std::string::npos && p.bytes.size() < requestCap) continue;
      bool given = false;
      const std::string line = ReadRequestLine([&](char* into, std::size_t capacity) -> long {
        if (given) return 0;
        given = true;
        const std::size_t count = std::min(capacity, p.bytes.size());
        std::memcpy(into, p.bytes.data(), count);
        return static_cast<long>(count);
      });
      Answer answered = line.empty() ? Answer{} : answer(line);
      WriteAll(p.connection, answered.reply);
      close(p.connection);
      pending.erase(pending.begin() + static_cast<std::ptrdiff_t>(i));
      if (answered.taken) {
        closeAll();
        return line;
      }
    }
    if (entries[0].revents != 0) {
      const int connection = accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
      if (connection < 0) continue;  // the peer gave up before it was accepted
      if (pending.size() >= maxPending) {
        close(connection);
        continue;
      }
      pending.push_back({connection, Clock::now(), false, {}});
    }
  }
  closeAll();
  errno = ETIMEDOUT;
  error = std::string("no redirect from the browser: ") + std::strerror(errno);
  return {};
}
