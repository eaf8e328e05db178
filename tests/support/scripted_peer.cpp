#include "tests/support/scripted_peer.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

using std::chrono::milliseconds;

namespace {

// 127.0.0.1 or ::1 with port 0 in address; its length.
socklen_t LoopbackAddress(bool v6, sockaddr_storage& address) {
  if (v6) {
    auto* in6 = reinterpret_cast<sockaddr_in6*>(&address);
    in6->sin6_family = AF_INET6;
    in6->sin6_addr = in6addr_loopback;
    return sizeof(sockaddr_in6);
  }
  auto* in = reinterpret_cast<sockaddr_in*>(&address);
  in->sin_family = AF_INET;
  in->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return sizeof(sockaddr_in);
}

}  // namespace

PeerScript& PeerScript::Expect(std::string bytes) {
  steps.push_back({Kind::Expect, std::move(bytes)});
  return *this;
}

PeerScript& PeerScript::Send(std::string bytes) {
  std::size_t size = bytes.size();
  steps.push_back({Kind::Send, std::move(bytes), size});
  return *this;
}

PeerScript& PeerScript::SendSplit(std::string bytes, std::size_t pieceSize, milliseconds pause) {
  steps.push_back({Kind::Send, std::move(bytes), std::max<std::size_t>(pieceSize, 1), pause});
  return *this;
}

PeerScript& PeerScript::Pause(milliseconds pause) {
  steps.push_back({Kind::Pause, {}, 0, pause});
  return *this;
}

PeerScript& PeerScript::ReadAny() {
  steps.push_back({Kind::ReadAny, {}});
  return *this;
}

PeerScript& PeerScript::ReadLine() {
  steps.push_back({Kind::ReadLine, {}});
  return *this;
}

PeerScript& PeerScript::ReadUntil(std::string terminator) {
  steps.push_back({Kind::ReadUntil, std::move(terminator)});
  return *this;
}

PeerScript& PeerScript::ReadUntilClosed() {
  steps.push_back({Kind::ReadUntilClosed, {}});
  return *this;
}

PeerScript& PeerScript::Reset() {
  steps.push_back({Kind::Reset, {}});
  return *this;
}

PeerScript& PeerScript::Close() {
  steps.push_back({Kind::Close, {}});
  return *this;
}

PeerScript& PeerScript::ExpectClosed() {
  steps.push_back({Kind::ExpectClosed, {}});
  return *this;
}

PeerScript& PeerScript::Do(std::function<std::string()> action) {
  steps.push_back({Kind::Do, {}, 0, milliseconds(0), std::move(action)});
  return *this;
}

PeerScript& PeerScript::Then(const PeerScript& more) {
  steps.insert(steps.end(), more.steps.begin(), more.steps.end());
  return *this;
}

std::string EscapeBytes(const std::string& bytes) {
  constexpr std::size_t shown = 160;  // a failure message stays readable
  std::string out;
  for (unsigned char c : bytes.substr(0, shown)) {
    if (c == '\r') {
      out += "\\r";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c >= 0x20 && c < 0x7F && c != '\\') {
      out += static_cast<char>(c);
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    }
  }
  if (bytes.size() > shown) out += "... (" + std::to_string(bytes.size()) + " bytes)";
  return out;
}

ScriptedPeer::ScriptedPeer(PeerScript script, milliseconds bound, Loopback loopback)
    : stepBound(bound) {
  const bool v6 = loopback == Loopback::IPv6;
  listener = socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_storage address{};
  socklen_t length = LoopbackAddress(v6, address);
  if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      listen(listener, 4) != 0 ||
      getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    throw std::runtime_error(std::string("scripted peer cannot listen: ") + std::strerror(errno));
  }
  port = ntohs(v6 ? reinterpret_cast<sockaddr_in6*>(&address)->sin6_port
                  : reinterpret_cast<sockaddr_in*>(&address)->sin_port);
  finishFd = eventfd(0, EFD_CLOEXEC);
  abortFd = eventfd(0, EFD_CLOEXEC);
  thread = std::thread(&ScriptedPeer::Run, this, std::move(script));
}

bool HasIPv6Loopback() {
  int s = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_storage address{};
  socklen_t length = LoopbackAddress(true, address);
  bool bound = s >= 0 && bind(s, reinterpret_cast<sockaddr*>(&address), length) == 0;
  if (s >= 0) close(s);
  return bound;
}

ScriptedPeer::~ScriptedPeer() {
  if (thread.joinable()) {
    eventfd_write(abortFd, 1);
    eventfd_write(finishFd, 1);
    thread.join();
  }
  for (int fd : {connection, listener, finishFd, abortFd}) {
    if (fd >= 0) close(fd);
  }
}

std::string ScriptedPeer::Finish() {
  if (!finished) {
    eventfd_write(finishFd, 1);
    thread.join();
    finished = true;
  }
  return report;
}

void ScriptedPeer::Run(PeerScript script) {
  // Signals that a test sends to itself (timers that interrupt its sends) must reach
  // the test's thread, never this one.
  sigset_t all;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, nullptr);
  if (WaitReadable(listener, abortFd, stepBound) != Wait::Ready) {
    report = "no connection arrived";
    return;
  }
  connection = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
  int on = 1;
  setsockopt(connection, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  for (std::size_t i = 0; i < script.steps.size() && report.empty(); ++i) {
    std::string failure = RunStep(script.steps[i]);
    if (!failure.empty()) report = "step " + std::to_string(i + 1) + ": " + failure;
  }
  if (report.empty()) report = Drain();
  if (connection >= 0) close(connection);
  connection = -1;
}

std::string ScriptedPeer::RunStep(const PeerScript::Step& step) {
  switch (step.kind) {
    case PeerScript::Kind::Expect:
      return ExpectBytes(step.bytes);
    case PeerScript::Kind::Send:
      return SendBytes(step.bytes, step.pieceSize, step.pause);
    case PeerScript::Kind::Pause:
      return Pause(step.pause) ? "" : "abandoned";
    case PeerScript::Kind::ReadAny:
      return ReadAnyBytes();
    case PeerScript::Kind::ReadLine:
      return ReadLineBytes();
    case PeerScript::Kind::ReadUntil:
      return ReadUntilBytes(step.bytes);
    case PeerScript::Kind::Reset: {
      linger abort{1, 0};  // a zero linger time makes close() send a reset
      setsockopt(connection, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
      close(connection);
      connection = -1;
      return "";
    }
    case PeerScript::Kind::Close:
      close(connection);
      connection = -1;
      return "";
    case PeerScript::Kind::ExpectClosed:
      return ExpectClose(false);
    case PeerScript::Kind::ReadUntilClosed:
      return ExpectClose(true);
    case PeerScript::Kind::Do:
      return step.action();
  }
  return "unknown step";
}

ScriptedPeer::Wait ScriptedPeer::WaitReadable(int fd, int stopFd, milliseconds bound) {
  pollfd fds[2] = {{fd, POLLIN, 0}, {stopFd, POLLIN, 0}};
  int ready;
  do {
    ready = poll(fds, 2, static_cast<int>(bound.count()));
  } while (ready < 0 && errno == EINTR);
  if (ready <= 0) return Wait::TimedOut;
  if (fds[1].revents != 0) return Wait::Stopped;
  return Wait::Ready;
}

bool ScriptedPeer::Pause(milliseconds pause) {
  pollfd stop{abortFd, POLLIN, 0};
  return poll(&stop, 1, static_cast<int>(pause.count())) == 0;
}

std::string ScriptedPeer::ExpectBytes(const std::string& bytes) {
  std::string got;
  while (got.size() < bytes.size()) {
    Wait wait = WaitReadable(connection, abortFd, stepBound);
    if (wait != Wait::Ready) {
      return "expected \"" + EscapeBytes(bytes) + "\", " +
             (wait == Wait::TimedOut ? "timed out" : "abandoned") + " after \"" +
             EscapeBytes(got) + "\"";
    }
    char buffer[4096];
    ssize_t n = recv(connection, buffer, std::min(sizeof buffer, bytes.size() - got.size()), 0);
    if (n <= 0) {
      return "expected \"" + EscapeBytes(bytes) + "\", connection closed after \"" +
             EscapeBytes(got) + "\"";
    }
    got.append(buffer, static_cast<std::size_t>(n));
    received.append(buffer, static_cast<std::size_t>(n));
  }
  if (got != bytes) return "expected \"" + EscapeBytes(bytes) + "\", got \"" + EscapeBytes(got) + "\"";
  return "";
}

std::string ScriptedPeer::ReadAnyBytes() {
  Wait wait = WaitReadable(connection, abortFd, stepBound);
  if (wait == Wait::TimedOut) return "expected some bytes, none came";
  if (wait == Wait::Stopped) return "abandoned";
  char buffer[65536];
  ssize_t n = recv(connection, buffer, sizeof buffer, 0);
  if (n <= 0) return "expected some bytes, the connection closed";
  received.append(buffer, static_cast<std::size_t>(n));
  return "";
}

std::string ScriptedPeer::ReadLineBytes() { return ReadUntilBytes("\r\n"); }

// Byte by byte, so that nothing after the terminator is taken from the steps that follow.
std::string ScriptedPeer::ReadUntilBytes(const std::string& terminator) {
  std::string text;
  while (!text.ends_with(terminator)) {
    Wait wait = WaitReadable(connection, abortFd, stepBound);
    if (wait != Wait::Ready) {
      return "expected text up to \"" + EscapeBytes(terminator) + "\", " +
             (wait == Wait::TimedOut ? "timed out" : "abandoned") + " after \"" +
             EscapeBytes(text) + "\"";
    }
    char c;
    if (recv(connection, &c, 1, 0) != 1) {
      return "expected text up to \"" + EscapeBytes(terminator) + "\", connection closed after \"" +
             EscapeBytes(text) + "\"";
    }
    text += c;
    received += c;
  }
  return "";
}

std::string ScriptedPeer::ExpectClose(bool anyBytes) {
  for (;;) {
    Wait wait = WaitReadable(connection, abortFd, stepBound);
    if (wait == Wait::TimedOut) return "expected the connection to close, it stayed open";
    if (wait == Wait::Stopped) return "abandoned";
    char buffer[4096];
    ssize_t n = recv(connection, buffer, sizeof buffer, 0);
    if (n <= 0) return "";  // an orderly close or a reset
    received.append(buffer, static_cast<std::size_t>(n));
    if (!anyBytes) {
      return "expected the connection to close, got \"" +
             EscapeBytes(std::string(buffer, static_cast<std::size_t>(n))) + "\"";
    }
  }
}

std::string ScriptedPeer::SendBytes(const std::string& bytes, std::size_t pieceSize,
                                    milliseconds pause) {
  for (std::size_t at = 0; at < bytes.size(); at += pieceSize) {
    if (at > 0 && !Pause(pause)) return "abandoned";
    std::size_t size = std::min(pieceSize, bytes.size() - at);
    if (send(connection, bytes.data() + at, size, MSG_NOSIGNAL) != static_cast<ssize_t>(size)) {
      return "could not send \"" + EscapeBytes(bytes) + "\": " + std::strerror(errno);
    }
  }
  return "";
}

// After the last step the connection stays open until Finish; anything that arrives
// meanwhile was not in the script.
std::string ScriptedPeer::Drain() {
  if (connection < 0) return "";
  std::string extra;
  for (;;) {
    pollfd fds[2] = {{connection, POLLIN, 0}, {finishFd, POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[0].revents == 0) break;
    char buffer[4096];
    ssize_t n = recv(connection, buffer, sizeof buffer, 0);
    if (n <= 0) {
      // Closed by the other side: nothing more can arrive.
      break;
    }
    extra.append(buffer, static_cast<std::size_t>(n));
    received.append(buffer, static_cast<std::size_t>(n));
  }
  return extra.empty() ? "" : "unexpected bytes after the script: \"" + EscapeBytes(extra) + "\"";
}
