#include "tests/support/scripted_peer.h"

#include <algorithm>
#include <cstdio>
#include <string_view>

namespace ps = peer_socket;
using std::chrono::milliseconds;

namespace {

// How many of the bytes that have arrived after text reach the first terminator in
// text and those bytes; all of them when it is not there yet.
std::size_t BytesUpToTerminator(const std::string& text, std::string_view arrived,
                                const std::string& terminator) {
  std::string joined = text + std::string(arrived);
  std::size_t from = text.size() < terminator.size() ? 0 : text.size() - terminator.size() + 1;
  std::size_t at = joined.find(terminator, from);
  return at == std::string::npos ? arrived.size() : at + terminator.size() - text.size();
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
  listener = ps::Listen(loopback == Loopback::IPv6, port);
  thread = std::thread(&ScriptedPeer::Run, this, std::move(script));
}

bool HasIPv6Loopback() { return ps::CanBindIPv6Loopback(); }

ScriptedPeer::~ScriptedPeer() {
  if (thread.joinable()) {
    abortWakeup.Raise();
    finishWakeup.Raise();
    thread.join();
  }
  for (ps::Handle socket : {connection, listener}) {
    if (socket != ps::none) ps::Close(socket);
  }
}

std::string ScriptedPeer::Finish() {
  if (!finished) {
    finishWakeup.Raise();
    thread.join();
    finished = true;
  }
  return report;
}

void ScriptedPeer::Run(PeerScript script) {
  ps::KeepSignalsAway();
  if (WaitReadable(listener, abortWakeup, stepBound) != Wait::Ready) {
    report = "no connection arrived";
    return;
  }
  connection = ps::Accept(listener);
  for (std::size_t i = 0; i < script.steps.size() && report.empty(); ++i) {
    std::string failure = RunStep(script.steps[i]);
    if (!failure.empty()) report = "step " + std::to_string(i + 1) + ": " + failure;
  }
  if (report.empty()) report = Drain();
  if (connection != ps::none) ps::Close(connection);
  connection = ps::none;
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
    case PeerScript::Kind::Reset:
      ps::Reset(connection);
      connection = ps::none;
      return "";
    case PeerScript::Kind::Close:
      ps::Close(connection);
      connection = ps::none;
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

ScriptedPeer::Wait ScriptedPeer::WaitReadable(ps::Handle socket, const ps::Wakeup& stop,
                                               milliseconds bound) {
  unsigned ready = ps::WaitReadable({socket, stop.Watched()}, bound);
  if (ready == 0) return Wait::TimedOut;
  if (ready & 2u) return Wait::Stopped;
  return Wait::Ready;
}

bool ScriptedPeer::Pause(milliseconds pause) {
  return ps::WaitReadable({abortWakeup.Watched()}, pause) == 0;
}

std::string ScriptedPeer::ExpectBytes(const std::string& bytes) {
  std::string got;
  while (got.size() < bytes.size()) {
    Wait wait = WaitReadable(connection, abortWakeup, stepBound);
    if (wait != Wait::Ready) {
      return "expected \"" + EscapeBytes(bytes) + "\", " +
             (wait == Wait::TimedOut ? "timed out" : "abandoned") + " after \"" +
             EscapeBytes(got) + "\"";
    }
    char buffer[4096];
    long n = ps::Receive(connection, buffer, std::min(sizeof buffer, bytes.size() - got.size()));
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
  Wait wait = WaitReadable(connection, abortWakeup, stepBound);
  if (wait == Wait::TimedOut) return "expected some bytes, none came";
  if (wait == Wait::Stopped) return "abandoned";
  char buffer[65536];
  long n = ps::Receive(connection, buffer, sizeof buffer);
  if (n <= 0) return "expected some bytes, the connection closed";
  received.append(buffer, static_cast<std::size_t>(n));
  return "";
}

std::string ScriptedPeer::ReadLineBytes() { return ReadUntilBytes("\r\n"); }

// Takes no byte after the terminator from the steps that follow: it looks at what has
// arrived without taking it, and takes no more than reaches the terminator.
std::string ScriptedPeer::ReadUntilBytes(const std::string& terminator) {
  std::string text;
  while (!text.ends_with(terminator)) {
    Wait wait = WaitReadable(connection, abortWakeup, stepBound);
    if (wait != Wait::Ready) {
      return "expected text up to \"" + EscapeBytes(terminator) + "\", " +
             (wait == Wait::TimedOut ? "timed out" : "abandoned") + " after \"" +
             EscapeBytes(text) + "\"";
    }
    char buffer[4096];
    long n = ps::Receive(connection, buffer, sizeof buffer, true);
    if (n > 0) {
      std::string_view arrived(buffer, static_cast<std::size_t>(n));
      n = ps::Receive(connection, buffer, BytesUpToTerminator(text, arrived, terminator));
    }
    if (n <= 0) {
      return "expected text up to \"" + EscapeBytes(terminator) + "\", connection closed after \"" +
             EscapeBytes(text) + "\"";
    }
    text.append(buffer, static_cast<std::size_t>(n));
    received.append(buffer, static_cast<std::size_t>(n));
  }
  return "";
}

std::string ScriptedPeer::ExpectClose(bool anyBytes) {
  for (;;) {
    Wait wait = WaitReadable(connection, abortWakeup, stepBound);
    if (wait == Wait::TimedOut) return "expected the connection to close, it stayed open";
    if (wait == Wait::Stopped) return "abandoned";
    char buffer[4096];
    long n = ps::Receive(connection, buffer, sizeof buffer);
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
    if (ps::Send(connection, bytes.data() + at, size) != static_cast<long>(size)) {
      return "could not send \"" + EscapeBytes(bytes) + "\": " + ps::LastErrorText();
    }
  }
  return "";
}

// After the last step the connection stays open until Finish; anything that arrives
// meanwhile was not in the script.
std::string ScriptedPeer::Drain() {
  if (connection == ps::none) return "";
  std::string extra;
  for (;;) {
    if ((ps::WaitReadable({connection, finishWakeup.Watched()}, milliseconds(-1)) & 1u) == 0) break;
    char buffer[4096];
    long n = ps::Receive(connection, buffer, sizeof buffer);
    if (n <= 0) {
      // Closed by the other side: nothing more can arrive.
      break;
    }
    extra.append(buffer, static_cast<std::size_t>(n));
    received.append(buffer, static_cast<std::size_t>(n));
  }
  return extra.empty() ? "" : "unexpected bytes after the script: \"" + EscapeBytes(extra) + "\"";
}
